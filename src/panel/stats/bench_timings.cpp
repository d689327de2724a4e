#include "panel/stats/bench_timings.h"

#include <algorithm>
#include <cmath>

#include "panel/stats/total_order.h"

namespace vel {
namespace {

template <class Ring, class TimeOf>
void prune(Ring& ring, double t, TimeOf time_of) {
  while (!ring.empty() && (ring.size() > kBenchRingLimit || t - time_of(ring.front()) > kBenchWindowMs)) {
    ring.pop_front();
  }
}

double first_of(const std::pair<double, double>& p) { return p.first; }

}  // namespace

void set_bench_collecting(BenchTimings& b, bool on) {
  if (b.collecting == on) return;
  b.collecting = on;
  b.last_mark.reset();
  b.has_last_tick = false;
}

void record_delivery_time(BenchTimings& b, bool mark, double t) {
  if (!std::isfinite(t) || !b.collecting) return;
  if (b.last_mark && *b.last_mark == mark) {
    const double d = t - b.last_dispatch_ms;
    if (d >= 0.0) {
      b.service_intervals.emplace_back(t, d);
      if (d > kDispatchGapMs) {
        if (b.dispatch_gaps.size() >= kBenchRingLimit) b.dispatch_gaps.pop_front();
        b.dispatch_gaps.push_back(t);
      }
    }
  }
  b.last_dispatch_ms = t;
  b.last_mark = mark;
  b.dispatches.emplace_back(t, mark);
  prune(b.dispatches, t, [](const std::pair<double, bool>& p) { return p.first; });
  prune(b.service_intervals, t, first_of);
}

void record_present_time(BenchTimings& b, uint64_t tag, double t) {
  if (!std::isfinite(t) || !b.collecting) return;
  b.submissions.emplace_back(t, tag);
  prune(b.submissions, t, [](const std::pair<double, uint64_t>& p) { return p.first; });
}

void record_frame_step(BenchTimings& b, double t) {
  if (!std::isfinite(t) || !b.collecting) return;
  if (b.has_last_tick && t - b.last_tick_ms >= 0.0) b.idle_gaps.emplace_back(t, t - b.last_tick_ms);
  b.has_last_tick = true;
  b.last_tick_ms = t;
  prune(b.idle_gaps, t, first_of);
  b.idle_ticks.push_back(t);
  prune(b.idle_ticks, t, [](double v) { return v; });
}

std::optional<double> percentile_95(std::vector<double>& values) {
  if (values.empty()) return std::nullopt;
  std::sort(values.begin(), values.end(), total_order_less);
  const size_t n = values.size();
  return values[std::min(n - 1, static_cast<size_t>(static_cast<double>(n) * 0.95))];
}

std::optional<double> delivery_time_p95(const std::deque<std::pair<double, double>>& ring) {
  std::vector<double> values;
  values.reserve(ring.size());
  for (const auto& [t, d] : ring) values.push_back(d);
  return percentile_95(values);
}

}  // namespace vel
