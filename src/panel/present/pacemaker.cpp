#include "panel/present/pacemaker.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "cache/worker_registry.h"
#include "core/log.h"
#include "core/process_flags.h"
#include "core/switches.h"
#include "core/threads.h"
#include "host/utility_calls.h"

namespace vel {

uint64_t pacemaker_period_for_fps(double fps) {
  double us = std::isfinite(fps) && fps > 0.0 ? 1e6 / fps * 0.5 : 16666.666666666668;
  us = std::clamp(us, 4000.0, 25000.0);
  return static_cast<uint64_t>(us);
}

Pacemaker::Pacemaker(Hooks hooks) : hooks_(std::move(hooks)) {}

Pacemaker::~Pacemaker() {
  stop();
  if (own_thread_.joinable()) own_thread_.join();
}

void Pacemaker::nudge() {
  {
    std::lock_guard lock(token_mutex_);
    token_ = true;
  }
  token_cv_.notify_one();
}

void Pacemaker::nap(uint64_t us) {
  std::unique_lock lock(token_mutex_);
  token_cv_.wait_for(lock, std::chrono::microseconds(us), [&] { return token_; });
  token_ = false;
}

void Pacemaker::stop() {
  stop_.store(true, std::memory_order_seq_cst);
  armed_.store(false, std::memory_order_relaxed);
  nudge();
}

void Pacemaker::start(bool arm, uint64_t period_us) {
  if ((hooks_.enabled && !hooks_.enabled()) || stopped()) return;
  if (!arm) {
    armed_.store(false, std::memory_order_relaxed);
    return;
  }
  const uint64_t clamped = std::clamp(period_us, kPacemakerMinPeriodUs, kPacemakerMaxPeriodUs);
  const uint64_t old = period_us_.exchange(clamped, std::memory_order_relaxed);
  const bool was_armed = armed_.exchange(true, std::memory_order_relaxed);
  if ((!was_armed || period_us < old) && has_thread_.load(std::memory_order_acquire)) nudge();
  if (started_.exchange(true, std::memory_order_seq_cst)) return;

  Status<> spawned = ok_unit();
  if (hooks_.spawn) {
    spawned = hooks_.spawn([this] { loop(); }, [this] { stop(); });
  } else {
    auto t = spawn_named_thread("velocinta-pacemaker", [this] { loop(); });
    if (t) {
      own_thread_ = std::move(t).value();
    } else {
      spawned = err(t.error());
    }
  }
  if (!spawned) {
    stop_.store(true, std::memory_order_seq_cst);
    armed_.store(false, std::memory_order_relaxed);
    log_line("ERROR", "pacemaker: cannot start wakeup thread: " + spawned.error());
    return;
  }
  has_thread_.store(true, std::memory_order_release);
}

void Pacemaker::start_for_fps(bool arm, double fps) { start(arm, pacemaker_period_for_fps(fps)); }

void Pacemaker::loop() {
  if (stopped()) return;
  uint32_t failures = 0;
  while (true) {
    if (!armed() || (hooks_.modal && hooks_.modal())) {
      nap(50000);
      if (stopped()) return;
      continue;
    }
    wakeups_.fetch_add(1, std::memory_order_relaxed);
    if (hooks_.wake_host && hooks_.wake_host()) {
      failures = 0;
    } else {
      if (failures != UINT32_MAX) ++failures;
      if (failures >= kPacemakerFailureLimit) {
        stop_.store(true, std::memory_order_seq_cst);
        armed_.store(false, std::memory_order_relaxed);
        return;
      }
    }
    nap(std::min(std::max(period_us_.load(std::memory_order_relaxed), kPacemakerMinPeriodUs), kPacemakerMaxPeriodUs));
    if (stopped()) return;
  }
}

Pacemaker& pacemaker() {
  static Pacemaker& p = *new Pacemaker(Pacemaker::Hooks{
      [] { return pacemaker_enabled(); },
      [] { return modal_flag().load(std::memory_order_relaxed); },
      [] { return cause_idle_routines().ok(); },
      [](std::function<void()> body, std::function<void()> stop) {
        return BackgroundWorkerRegistry::process().start("velocinta-pacemaker", std::move(body), std::move(stop));
      }});
  return p;
}

void start_pacemaker(bool arm, uint64_t period_us) { pacemaker().start(arm, period_us); }
void start_pacemaker_for_fps(bool arm, double fps) { pacemaker().start_for_fps(arm, fps); }

}  // namespace vel
