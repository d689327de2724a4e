// The pacemaker "velocinta-pacemaker": while frames are to be shown on time,
// asks the host at a steady period to call its idle hook early, so that the
// next tick comes soon. It touches nothing but its own atomics and the
// host's wake-up request. Once stopped (death hook, failed start, or 64
// refused wake-ups in a row) it stays stopped for the rest of the process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "core/result.h"

namespace vel {

inline constexpr uint64_t kPacemakerMinPeriodUs = 4000;
inline constexpr uint64_t kPacemakerMaxPeriodUs = 100000;
inline constexpr uint64_t kPacemakerIdlePeriodUs = 16666;
inline constexpr uint64_t kPacemakerPendingPeriodUs = 100000;  // work pending, nothing to show on time
inline constexpr uint64_t kPacemakerSwitchPeriodUs = 16666;    // a composition was just switched to
inline constexpr uint32_t kPacemakerFailureLimit = 64;

// Half a frame at `fps` in microseconds, within 4000..25000; 16666 for a
// rate that is not a finite number above 0.
uint64_t pacemaker_period_for_fps(double fps);

class Pacemaker {
 public:
  struct Hooks {
    std::function<bool()> enabled;   // VELOCINTA_PACEMAKER
    std::function<bool()> modal;     // the idle hook's modal flag
    std::function<bool()> wake_host; // one early-idle request; true on success
    // Starts the thread with its stop handle; empty: the instance owns a
    // plain named thread and joins it when destroyed.
    std::function<Status<>(std::function<void()> body, std::function<void()> stop)> spawn;
  };
  explicit Pacemaker(Hooks hooks);
  // Stops the thread and joins it (test instances; the process one lives on).
  ~Pacemaker();
  Pacemaker(const Pacemaker&) = delete;
  Pacemaker& operator=(const Pacemaker&) = delete;

  // Arms (or re-times) or disarms; starts the thread on the first arming.
  void start(bool arm, uint64_t period_us);
  void start_for_fps(bool arm, double fps);
  // Disarms without waking the thread (preview reset).
  void disarm() { armed_.store(false, std::memory_order_relaxed); }
  // Death hook: stops for good and wakes the thread so it leaves at once.
  void stop();

  bool armed() const { return armed_.load(std::memory_order_relaxed); }
  bool stopped() const { return stop_.load(std::memory_order_seq_cst); }
  bool started() const { return started_.load(std::memory_order_seq_cst); }
  uint64_t period_us() const { return period_us_.load(std::memory_order_relaxed); }
  // Wake-up requests made so far (successful or not).
  uint64_t wakeups() const { return wakeups_.load(std::memory_order_relaxed); }

 private:
  void loop();
  void nudge();
  // Waits up to `us` microseconds or until nudged.
  void nap(uint64_t us);

  Hooks hooks_;
  std::atomic<bool> armed_{false};
  std::atomic<uint64_t> period_us_{kPacemakerIdlePeriodUs};
  std::atomic<bool> started_{false};
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> wakeups_{0};
  std::mutex token_mutex_;
  std::condition_variable token_cv_;
  bool token_ = false;  // the one-permit wake-up signal
  std::atomic<bool> has_thread_{false};
  std::thread own_thread_;
};

// The process pacemaker, wired to the switch, the modal flag and the
// host's Utility suite; its thread runs in the background worker registry.
Pacemaker& pacemaker();

void start_pacemaker(bool arm, uint64_t period_us);
void start_pacemaker_for_fps(bool arm, double fps);

}  // namespace vel
