#include "simhost/call_faults.h"

namespace sim {

void CallFaults::arm(const std::string& call, A_Err code, uint32_t skip, uint32_t times) {
  std::lock_guard<std::mutex> lock(mu_);
  plans_[call] = Plan{code, skip, times, 0};
}

void CallFaults::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  plans_.clear();
}

A_Err CallFaults::check(const char* call) {
  std::lock_guard<std::mutex> lock(mu_);
  ++calls_[call];
  if (plans_.empty()) return A_Err_NONE;
  auto it = plans_.find(call);
  if (it == plans_.end()) return A_Err_NONE;
  Plan& p = it->second;
  if (p.skip > 0) {
    --p.skip;
    return A_Err_NONE;
  }
  if (p.times != 0 && p.failed >= p.times) return A_Err_NONE;
  ++p.failed;
  return p.code;
}

uint64_t CallFaults::calls(const std::string& call) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = calls_.find(call);
  return it == calls_.end() ? 0 : it->second;
}

}  // namespace sim
