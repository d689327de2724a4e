#include "suites/suite_registry.h"

#include "hostsdk/types.h"

namespace sim {

void SuiteRegistry::publish(const std::string& name, int32_t version, const void* table) {
  std::lock_guard<std::mutex> lock(mu_);
  tables_[{name, version}] = table;
}

void SuiteRegistry::hide(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  hidden_.insert(name);
}

int32_t SuiteRegistry::acquire(const char* name, int32_t version, const void** suite) {
  if (suite) *suite = nullptr;
  if (!name || !suite) return A_Err_PARAMETER;
  std::lock_guard<std::mutex> lock(mu_);
  SuiteCounts& counts = ledger_[name];
  auto it = tables_.find({name, version});
  if (it == tables_.end() || hidden_.count(name)) {
    ++counts.refused;
    return A_Err_MISSING_SUITE;
  }
  ++counts.acquired;
  ++held_[it->first];
  *suite = it->second;
  return A_Err_NONE;
}

int32_t SuiteRegistry::release(const char* name, int32_t version) {
  if (!name) return A_Err_PARAMETER;
  std::lock_guard<std::mutex> lock(mu_);
  SuiteCounts& counts = ledger_[name];
  auto it = held_.find({name, version});
  if (it == held_.end() || it->second == 0) {
    ++counts.bad_releases;
    return A_Err_PARAMETER;
  }
  --it->second;
  ++counts.released;
  return A_Err_NONE;
}

std::map<std::string, SuiteCounts> SuiteRegistry::ledger() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ledger_;
}

uint64_t SuiteRegistry::outstanding() const {
  std::lock_guard<std::mutex> lock(mu_);
  uint64_t n = 0;
  for (const auto& [key, count] : held_) n += count;
  return n;
}

}  // namespace sim
