// References the host hands out and the plug-in must give back (stream and
// effect references, stream values): each has an id never used again, so a
// stale or doubly released reference is told apart from a live one, and
// the counts show a leak or a double release after the fact.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

namespace sim {

struct LedgerCounts {
  uint64_t issued = 0;
  uint64_t released = 0;
  uint64_t bad_releases = 0;  // a release of something not live
  uint64_t live = 0;
  bool operator==(const LedgerCounts&) const = default;
};

template <class T>
class RefLedger {
 public:
  uint64_t issue(T rec) {
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t id = ++next_id_;
    live_.emplace(id, rec);
    ++counts_.issued;
    return id;
  }
  std::optional<T> find(uint64_t id) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = live_.find(id);
    if (it == live_.end()) return std::nullopt;
    return it->second;
  }
  // False (and counted) when `id` is not live.
  bool release(uint64_t id) {
    std::lock_guard<std::mutex> lock(mu_);
    if (live_.erase(id) == 0) {
      ++counts_.bad_releases;
      return false;
    }
    ++counts_.released;
    return true;
  }
  // Releases one live record equal to `rec`; false (and counted) when none.
  bool release_one(const T& rec) {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = live_.begin(); it != live_.end(); ++it) {
      if (it->second == rec) {
        live_.erase(it);
        ++counts_.released;
        return true;
      }
    }
    ++counts_.bad_releases;
    return false;
  }
  LedgerCounts counts() const {
    std::lock_guard<std::mutex> lock(mu_);
    LedgerCounts c = counts_;
    c.live = live_.size();
    return c;
  }

 private:
  mutable std::mutex mu_;
  std::map<uint64_t, T> live_;
  uint64_t next_id_ = 0;
  LedgerCounts counts_;
};

}  // namespace sim
