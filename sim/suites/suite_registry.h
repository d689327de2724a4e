// The suites the host publishes, found by name and version through the basic
// suite, with a ledger of every acquisition and release per suite name.
// Suites named with --hide-suite are refused as if the host lacked them.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace sim {

struct SuiteCounts {
  uint64_t acquired = 0;
  uint64_t released = 0;
  uint64_t refused = 0;        // missing or hidden
  uint64_t bad_releases = 0;   // a release with nothing of that name and version held
};

class SuiteRegistry {
 public:
  void publish(const std::string& name, int32_t version, const void* table);
  void hide(const std::string& name);

  // 0 and the table in *suite, or the host's missing-suite error and null.
  int32_t acquire(const char* name, int32_t version, const void** suite);
  // 0, or non-zero when nothing of that name and version is held.
  int32_t release(const char* name, int32_t version);

  std::map<std::string, SuiteCounts> ledger() const;
  // Acquisitions not yet released, over all suites.
  uint64_t outstanding() const;

 private:
  using Key = std::pair<std::string, int32_t>;
  mutable std::mutex mu_;
  std::map<Key, const void*> tables_;
  std::map<Key, uint64_t> held_;
  std::set<std::string> hidden_;
  std::map<std::string, SuiteCounts> ledger_;
};

}  // namespace sim
