// Scheduler trials: while a batch runs, the pool tries one more busy worker
// for a bounded time and keeps the higher level only when throughput clearly
// improves; a loss, an abort or a trial that runs too long reverts to one
// worker and remembers the level that did not pay as a ceiling. Main thread
// only; instants are monotonic nanoseconds.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "pool/schedule/scheduler_assessment.h"

namespace vel {

// The last thing that happened to a trial, printed by name in the pool's
// scheduler records.
enum class TrialOutcome : uint8_t {
  Cold = 0,          // nothing yet
  Started = 1,
  Confirmed = 2,     // throughput gained: the level is kept
  Loss = 3,          // no gain, or more workers active than allowed
  Pressure = 4,      // aborted by the supervision
  Expired = 5,       // ran out of time
  Cancelled = 6,
  QueueReduced = 7,
  SpawnFailed = 8,
  UnknownProof = 9,
};
std::string_view trial_outcome_name(TrialOutcome outcome);

// What the last scheduler record said: the level, whether a trial ran and
// the outcome; a record is written only when this changes.
struct SchedulerLogged {
  uint64_t level = 1;
  bool trial_running = false;
  TrialOutcome outcome = TrialOutcome::Cold;
  friend bool operator==(const SchedulerLogged&, const SchedulerLogged&) = default;
};

// The scheduler's whole state: one per running plan, and the copy the
// runtime carries between batches of the same configuration. `level` is the
// number of engines to run at once.
struct SchedulerTrial {
  std::optional<uint64_t> ceiling;  // highest level still worth trying
  std::optional<uint64_t> retry_not_before_ns;
  std::optional<uint64_t> trial_started_at_ns;  // start of the measured part
  double baseline_throughput = 0.0;
  uint64_t trial_opened_at_ns = 0;
  std::optional<uint64_t> trial_length_ns;  // none: no trial running
  uint64_t level = 1;
  TrialOutcome outcome = TrialOutcome::Cold;
  std::optional<uint64_t> next_trial_at_ns;  // earliest start of the next trial decision
  std::optional<SchedulerLogged> logged;
};

// Back to no ceiling, no retry stamp, no trial, level 1, Cold, nothing logged.
void reset_scheduler_trial(SchedulerTrial& trial);
// What a finished batch hands to the next one of the same configuration:
// only the learnt ceiling.
SchedulerTrial carried_scheduler_trial(const SchedulerTrial& trial);

// Kinds of signal the supervision raises besides a plain measurement.
inline constexpr uint8_t kTrialSignalAbort = 5;
inline constexpr uint8_t kTrialSignalActiveCheck = 6;  // revert when more workers are active than the target

// What the supervision measured this tick, with what the concurrency
// proposal needs.
struct TrialSignal {
  std::optional<double> throughput;  // frames per second
  uint64_t target = 0;               // worker count it proposes
  uint8_t kind = 0;
  SchedulerAssessment assessment;
  TrialFigures figures;
};

// Opens a trial one level up when none runs, the signal proposes exactly the
// next level, it stays below a known ceiling and one more worker pays off.
// Returns the proposal when a trial began. The trial lasts twice the
// proposal's transition time plus 15 s, within 30 … 120 s.
std::optional<WorkerProjection> start_scheduler_trial(SchedulerTrial& trial, uint64_t now_ns,
                                                      const TrialSignal& signal);

// Ends a running trial: kept at ≥ 105 % of the baseline throughput, waiting
// from 90 %, reverted below, on an abort, on too many active workers or when
// its length runs out. Judged only once the active workers equal the level
// and all run the same MFR share.
void evaluate_scheduler_trial(SchedulerTrial& trial, uint64_t now_ns, const TrialSignal& signal,
                              std::span<const uint32_t> active_mfr_shares, uint64_t active_workers);

}  // namespace vel
