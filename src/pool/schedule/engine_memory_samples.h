// The short history of render-engine memory samples that the adaptive
// scheduler judges from: how much memory each running engine holds, whether
// it is still growing, and how much one more engine would need. A sample that
// does not follow on from the last one empties the history, so the scheduler
// starts observing again instead of reasoning over a broken series. Main
// thread only. Instants are monotonic nanoseconds.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace vel {

struct EngineMemorySample {
  std::vector<uint64_t> engine_bytes;  // resident bytes of each running engine
  uint64_t collection_start_ns = 0;
  uint64_t collection_end_ns = 0;
  uint64_t frame_instant_ns = 0;  // when `frames` was read
  uint64_t available_bytes = 0;   // the machine's available memory then
  uint64_t frames = 0;            // the batch's frame counter at the frame instant
  uint32_t job_load = 0;          // summed MFR percentages of the unfinished jobs
};

struct WorkerRate {
  uint64_t workers = 0;
  double frames_per_second = 0.0;
};

struct SchedulerHistory {
  // Set when adding a worker made throughput worse: no admission at or
  // beyond that count until the pool runtime lifts it.
  bool ceiling_active = false;
  uint64_t ceiling_workers = 0;
  std::deque<EngineMemorySample> samples;  // oldest first
  std::vector<WorkerRate> rates;           // one per worker count measured
  std::optional<uint64_t> reset_at_ns;     // samples collected before are refused
  uint64_t peak_engine_bytes = 0;          // survives emptying the ring
};

inline constexpr size_t kEngineSamplesMax = 32;

// Appends the sample (true), or empties the ring and drops it (false) when it
// is not clean: no engine or a zero engine, instants out of order, a
// collection over 3 s, one begun before the reset instant or not after the
// newest sample. A clean sample that does not follow the newest within 3 s with the same engine
// count and a frame counter not gone back starts a new series on its own.
bool record_engine_sample(SchedulerHistory& history, EngineMemorySample sample);

void clear_samples(SchedulerHistory& history);
// Empties the ring for a new batch and refuses samples collected before `now_ns`.
void reset_samples(SchedulerHistory& history, uint64_t now_ns);

struct EngineMemoryProjection {
  uint64_t collection_end_ns = 0;
  uint64_t bytes_per_engine = 0;  // peak × 1.25 + twice the larger recent growth
  uint64_t available_bytes = 0;
};

// What one more engine needs, from the newest three samples; none with fewer
// samples, a newest sample older than 3 s, a growth above 5 % between two of
// them (memory still climbing) or no peak yet.
std::optional<EngineMemoryProjection> project_engine_memory(const SchedulerHistory& history, uint64_t now_ns);

// Shared with the scheduler's assessment.
struct EngineGrowth {
  uint64_t larger = 0;   // the larger of the two growths of the newest three samples
  bool growing = false;  // one of them exceeded 5 % of its older total
};
// Needs at least three samples.
EngineGrowth recent_engine_growth(const std::deque<EngineMemorySample>& samples);
uint64_t engine_need_bytes(uint64_t peak);  // peak + peak / 4, saturating

}  // namespace vel
