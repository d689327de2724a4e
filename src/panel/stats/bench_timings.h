// BenchTimings: stamps and intervals of dispatch events, submissions and
// idle-hook ticks, pruned to the last 10 s (and 1024 entries), from which
// the idle hook takes counts and 95th percentiles. Main thread.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

namespace vel {

inline constexpr size_t kBenchRingLimit = 1024;
inline constexpr double kBenchWindowMs = 10000.0;
inline constexpr double kDispatchGapMs = 200.0;

struct BenchTimings {
  bool collecting = false;
  std::optional<bool> last_mark;
  double last_dispatch_ms = 0.0;
  bool has_last_tick = false;
  double last_tick_ms = 0.0;
  std::deque<std::pair<double, bool>> dispatches;
  std::deque<std::pair<double, double>> service_intervals;
  std::deque<double> dispatch_gaps;  // no age limit
  std::deque<std::pair<double, uint64_t>> submissions;
  std::deque<double> idle_ticks;
  std::deque<std::pair<double, double>> idle_gaps;
};

// Switches collecting; a change forgets the last mark and tick so no
// interval spans a pause.
void set_bench_collecting(BenchTimings& b, bool on);

// One dispatch event; intervals join only events of the same mark.
void record_delivery_time(BenchTimings& b, bool mark, double t);
void record_present_time(BenchTimings& b, uint64_t tag, double t);
// One idle-hook tick.
void record_frame_step(BenchTimings& b, double t);

// The 95th percentile of a ring's intervals; none when empty.
std::optional<double> delivery_time_p95(const std::deque<std::pair<double, double>>& ring);

// Index min(n − 1, ⌊n × 0.95⌋) of the values sorted in IEEE total order;
// sorts `values` in place. None when empty.
std::optional<double> percentile_95(std::vector<double>& values);

}  // namespace vel
