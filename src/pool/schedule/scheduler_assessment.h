// The scheduler's verdict over the engine memory history: whether the pool
// may run one more `aerender` worker, should hold, or give one back, and
// whether one more worker pays off for the frames still queued. The verdict's
// outcome is also the admission reason the supervision prints.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "pool/schedule/engine_memory_samples.h"

namespace vel {

// Only Admit allows another engine.
enum class SchedulerOutcome : uint8_t {
  Capacity = 0,
  Missing = 1,
  Stale = 2,
  Observing = 3,
  Growing = 4,
  Pressure = 5,
  Throughput = 6,
  Headroom = 7,
  Admit = 8,
};
std::string_view scheduler_outcome_name(SchedulerOutcome outcome);

struct SchedulerAssessment {
  std::optional<double> rate;           // frames per second at the current count
  std::optional<double> previous_rate;  // recorded for one worker fewer
  std::optional<uint64_t> newest_collection_end_ns;
  uint64_t target = 1;
  uint64_t available_bytes = 0;
  uint64_t peak_engine_bytes = 0;
  uint64_t engine_need_bytes = 0;     // peak + peak / 4
  uint64_t growth_reserve_bytes = 0;  // twice the larger recent growth
  SchedulerOutcome outcome = SchedulerOutcome::Missing;
};

// Judges the newest samples for `current` running workers out of `requested`
// (at `now_ns`). Records the measured rate for `current` in the rate table
// when the workers are loaded, and sets the history's ceiling when one more
// worker made throughput fall below 80 % of the rate before.
SchedulerAssessment assess_scheduler(SchedulerHistory& history, uint64_t now_ns, uint64_t current,
                                     uint64_t requested);

struct TrialFigures {
  std::optional<double> startup_secs_per_worker;
  uint64_t useful_queued_frames = 0;
  double fixed_secs = 0.0;
  double factor = 1.0;       // must be at least 1.0
  double cpu_percent = 0.0;  // must be below 90.0
  // The pool's own share of the machine's CPU; 0 when unknown. One more
  // engine can add at most what one engine takes, and only while the
  // machine has that much idle.
  double pool_cpu_percent = 0.0;
};

// The time estimates behind trying one more worker.
struct WorkerProjection {
  uint64_t workers = 0;          // the assessment's target
  double current_secs = 0.0;     // queued frames at the current rate
  double candidate_secs = 0.0;   // with one more worker, start-up included
  double transition_secs = 0.0;  // start-up of the workers plus the fixed cost
  double margin_secs = 0.0;
  double predicted_fps = 0.0;
};

// Present only for an Admit of at least 2 workers whose projected time with
// one more worker, plus a margin, beats the current one.
std::optional<WorkerProjection> extra_worker_pays_off(const SchedulerAssessment& assessment,
                                                      const TrialFigures& figures);

}  // namespace vel
