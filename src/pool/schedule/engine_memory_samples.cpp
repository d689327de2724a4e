#include "pool/schedule/engine_memory_samples.h"

#include <algorithm>

#include "core/saturating.h"

namespace vel {
namespace {

constexpr uint64_t kThreeSecondsNs = 3'000'000'000;

uint64_t engine_total(const EngineMemorySample& s) {
  uint64_t total = 0;
  for (uint64_t b : s.engine_bytes) total = sat_add(total, b);
  return total;
}

// The same series: as many engines, later, within 3 s, and a frame counter
// that did not go back (a new batch counts from 0).
bool follows_newest(const EngineMemorySample& newest, const EngineMemorySample& s) {
  return s.collection_end_ns > newest.collection_end_ns && s.frame_instant_ns > newest.frame_instant_ns &&
         s.engine_bytes.size() == newest.engine_bytes.size() &&
         s.collection_end_ns - newest.collection_end_ns <= kThreeSecondsNs && s.frames >= newest.frames;
}

bool clean_sample(const SchedulerHistory& h, const EngineMemorySample& s) {
  if (s.engine_bytes.empty()) return false;
  if (std::find(s.engine_bytes.begin(), s.engine_bytes.end(), uint64_t{0}) != s.engine_bytes.end()) return false;
  if (s.collection_end_ns < s.collection_start_ns || s.frame_instant_ns < s.collection_end_ns) return false;
  if (s.collection_end_ns - s.collection_start_ns > kThreeSecondsNs) return false;
  if (h.reset_at_ns && s.collection_start_ns < *h.reset_at_ns) return false;
  if (h.samples.empty()) return true;
  const EngineMemorySample& newest = h.samples.back();
  return s.collection_end_ns > newest.collection_end_ns && s.frame_instant_ns > newest.frame_instant_ns;
}

}  // namespace

bool record_engine_sample(SchedulerHistory& history, EngineMemorySample sample) {
  if (!clean_sample(history, sample)) {
    history.samples.clear();
    return false;
  }
  // A worker more or fewer, or a new batch, begins a new series with this
  // sample: dropping it too would cost the admission a second of the short
  // ranges workers run.
  if (!history.samples.empty() && !follows_newest(history.samples.back(), sample)) history.samples.clear();
  for (uint64_t b : sample.engine_bytes) history.peak_engine_bytes = std::max(history.peak_engine_bytes, b);
  history.samples.push_back(std::move(sample));
  while (history.samples.size() > kEngineSamplesMax) history.samples.pop_front();
  return true;
}

void clear_samples(SchedulerHistory& history) { history.samples.clear(); }

void reset_samples(SchedulerHistory& history, uint64_t now_ns) {
  history.samples.clear();
  history.reset_at_ns = now_ns;
}

uint64_t engine_need_bytes(uint64_t peak) { return sat_add(peak, peak / 4); }

EngineGrowth recent_engine_growth(const std::deque<EngineMemorySample>& samples) {
  EngineGrowth g;
  const size_t n = samples.size();
  for (size_t i = n - 3; i + 1 < n; ++i) {
    const uint64_t older = engine_total(samples[i]);
    const uint64_t newer = engine_total(samples[i + 1]);
    const uint64_t growth = newer > older ? newer - older : 0;
    g.larger = std::max(g.larger, growth);
    if (growth > older / 20) g.growing = true;
  }
  return g;
}

std::optional<EngineMemoryProjection> project_engine_memory(const SchedulerHistory& history, uint64_t now_ns) {
  if (history.samples.size() < 3) return std::nullopt;
  const EngineMemorySample& newest = history.samples.back();
  if (now_ns > newest.collection_end_ns && now_ns - newest.collection_end_ns > kThreeSecondsNs) return std::nullopt;
  const EngineGrowth growth = recent_engine_growth(history.samples);
  if (growth.growing || history.peak_engine_bytes == 0) return std::nullopt;
  return EngineMemoryProjection{newest.collection_end_ns,
                                sat_add(engine_need_bytes(history.peak_engine_bytes), sat_add(growth.larger, growth.larger)),
                                newest.available_bytes};
}

}  // namespace vel
