// The adaptive scheduler's part of one supervision call: CPU pressure sends
// the batch back to one engine, a trial one engine up is attempted at most
// once a second while the machine is neither short of memory nor of CPU, the
// target shrinks with the work left, and a failed spawn falls back like
// pressure. The trial itself (start, evaluation) is the scheduler's; this is
// what the supervision decides around it. Main thread only; instants are
// monotonic nanoseconds.
#pragma once

#include <cstdint>
#include <optional>
#include <tuple>

#include "pool/schedule/adaptive_scheduler.h"
#include "pool/schedule/engine_memory_samples.h"
#include "pool/schedule/scheduler_assessment.h"

namespace vel {

// The CPU load the pool memory tick took from the process listing, with the
// listing's own stamp and the hold-off that follows it.
struct CpuSample {
  double pool_cpu = 0.0;   // percent, the pool's processes
  double total_cpu = 0.0;  // percent, every process of the listing
  std::optional<uint64_t> taken_at_ns;
  std::optional<uint64_t> listing_at_ns;
  std::optional<uint64_t> hold_until_ns;
};

inline constexpr double kCpuPressurePercent = 95.0;  // at or above: back to one engine
inline constexpr double kCpuTrialPercent = 90.0;     // a trial needs strictly less

bool cpu_sample_fresh(const CpuSample& cpu, uint64_t now_ns);
// The listing is at most 3 s old and its hold-off, if any, has passed.
bool cpu_hold_off_passed(const CpuSample& cpu, uint64_t now_ns);

// Back to one engine: a level of 2 or more becomes (or lowers) the ceiling,
// the running trial ends and `outcome` is kept as the reason.
void fall_back_to_one_engine(SchedulerTrial& trial, TrialOutcome outcome);

// A fresh sample at or above 95 % of CPU: falls back with Pressure and
// answers true (the rest of the scheduler step is skipped). No sample, or a
// stale one, never counts as pressure.
bool apply_cpu_pressure(SchedulerTrial& trial, const CpuSample& cpu, uint64_t now_ns);

// What must hold for a trial to run at all.
struct TrialConditions {
  bool pool_on = false;
  bool gpu_contended = false;
  bool disabled = false;
  bool holding = false;       // new ranges held
  bool retire_armed = false;  // a retirement deadline is set
  bool hold_off_passed = false;
  bool trials_permitted = false;  // the pool's trial permission
  bool paused = false;            // the pool pump's pause flag
};
bool trial_may_run(const TrialConditions& c);

enum class TrialStep : uint8_t {
  Idle,       // nothing to do this call
  Cancelled,  // a trial ran where none may: back to one engine
  Attempt,    // build the queued frame lists and offer a trial
};

// Decides the trial part of the call. Attempt needs the conditions, an Admit
// verdict, a fresh CPU sample below 90 % and no trial running, and comes at
// most once a second: `next_trial_at_ns` is restamped to now + 1 s when it
// is answered.
TrialStep scheduler_trial_step(SchedulerTrial& trial, std::optional<uint64_t>& next_trial_at_ns, bool may_run,
                               const SchedulerAssessment& verdict, const CpuSample& cpu, uint64_t now_ns);

// A worker started or ended: the measured part of a running trial begins
// again from `now_ns`, so that its throughput is judged on the workers it
// runs with. Without this start a trial could only run out and count as lost.
void restart_measurement_window(SchedulerTrial& trial, uint64_t now_ns);

// Fewer active workers plus queued ranges than the target: the target drops
// to that sum (at least 1), the trial ends, QueueReduced.
void reduce_target_to_queue(SchedulerTrial& trial, uint64_t active, uint64_t queued_ranges);

// A change of downsample or of frame size: level 1, no trial, Cold, no
// ceiling, no trial stamp, no measured part; the sample history is emptied
// and restarted at `now_ns`.
void reset_scheduler_state(SchedulerTrial& trial, std::optional<uint64_t>& next_trial_at_ns,
                           SchedulerHistory& history, uint64_t now_ns);

// The triple of the last POOL_SCHEDULER outcome record: level, a trial
// running, outcome.
using SchedulerLogKey = std::tuple<uint64_t, bool, TrialOutcome>;
bool trial_running(const SchedulerTrial& trial);
// True, remembering the triple, when it differs from the one last written.
bool scheduler_record_due(std::optional<SchedulerLogKey>& logged, const SchedulerTrial& trial);

}  // namespace vel
