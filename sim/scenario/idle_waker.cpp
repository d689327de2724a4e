#include "scenario/idle_waker.h"

namespace sim {

void IdleWaker::request() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    pending_ = true;
    ++requests_;
  }
  cv_.notify_one();
}

bool IdleWaker::wait_until(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mu_);
  bool woken = cv_.wait_until(lock, deadline, [this] { return pending_; });
  if (woken) {
    pending_ = false;
    ++early_wakeups_;
  }
  return woken;
}

uint64_t IdleWaker::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

uint64_t IdleWaker::early_wakeups() const {
  std::lock_guard<std::mutex> lock(mu_);
  return early_wakeups_;
}

}  // namespace sim
