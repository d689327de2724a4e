// How the host's main loop sleeps between idle calls: at most the time the
// hooks allow, cut short when any thread asks for the idle hooks to be
// called early.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace sim {

class IdleWaker {
 public:
  using Clock = std::chrono::steady_clock;

  // Any thread; never blocks for long.
  void request();
  // Sleeps until `deadline` or an early request, whichever comes first, and
  // consumes the request. Returns true when woken by a request (also one
  // made before the call).
  bool wait_until(Clock::time_point deadline);

  uint64_t requests() const;
  uint64_t early_wakeups() const;

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool pending_ = false;
  uint64_t requests_ = 0;
  uint64_t early_wakeups_ = 0;
};

}  // namespace sim
