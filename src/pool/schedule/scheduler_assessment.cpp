#include "pool/schedule/scheduler_assessment.h"

#include <algorithm>
#include <cmath>

#include "core/saturating.h"

namespace vel {
namespace {

constexpr uint64_t kNsPerSecond = 1'000'000'000;
constexpr uint64_t kFourGiB = uint64_t{1} << 32;
// The rate is read over the span the verdict already observes: a worker's
// range lasts a few seconds, and a longer span is never reached.
constexpr uint64_t kRateSpanSecs = 2;


bool positive_finite(double v) { return std::isfinite(v) && v > 0.0; }

std::optional<double> rate_for(const SchedulerHistory& h, uint64_t workers) {
  for (const WorkerRate& r : h.rates) {
    if (r.workers == workers) return r.frames_per_second;
  }
  return std::nullopt;
}

void set_rate(SchedulerHistory& h, uint64_t workers, double fps) {
  for (WorkerRate& r : h.rates) {
    if (r.workers == workers) {
      r.frames_per_second = fps;
      return;
    }
  }
  h.rates.push_back({workers, fps});
}

// Frames per second over the whole ring: needs 8 frames over 2 whole seconds.
std::optional<double> measured_rate(const EngineMemorySample& oldest, const EngineMemorySample& newest) {
  const uint64_t frames = sat_sub(newest.frames, oldest.frames);
  const uint64_t span_ns = sat_sub(newest.frame_instant_ns, oldest.frame_instant_ns);
  if (frames < 8 || span_ns / kNsPerSecond < kRateSpanSecs) return std::nullopt;
  return static_cast<double>(frames) / (static_cast<double>(span_ns) / 1e9);
}

SchedulerOutcome settle(SchedulerHistory& h, SchedulerAssessment& a, uint64_t n, uint64_t r, uint64_t reserve,
                        bool growing, const EngineMemorySample& newest) {
  a.target = std::min(std::max<uint64_t>(r, 1), n);
  a.rate = measured_rate(h.samples.front(), newest);
  a.previous_rate = rate_for(h, n - 1);
  // Rates only mean something while the workers keep the machine loaded.
  const bool loaded = n > UINT32_MAX || uint64_t{newest.job_load} + n > 79;
  if (loaded && a.rate) set_rate(h, n, *a.rate);

  if (loaded && a.rate && a.previous_rate && *a.rate < 0.8 * *a.previous_rate) {
    if (!(h.ceiling_active && h.ceiling_workers <= n)) h.ceiling_workers = n;
    h.ceiling_active = true;
    a.target = std::max<uint64_t>(n - 1, 1);
    return SchedulerOutcome::Throughput;
  }
  if (r <= n || growing) return r > n ? SchedulerOutcome::Growing : SchedulerOutcome::Capacity;
  if (sat_add(reserve, a.engine_need_bytes) > newest.available_bytes) return SchedulerOutcome::Headroom;
  if (!a.rate) return SchedulerOutcome::Observing;
  const bool at_ceiling = h.ceiling_active && sat_add(n, 1) >= h.ceiling_workers;
  if (at_ceiling || (n != 1 && (!a.previous_rate || *a.rate < *a.previous_rate))) return SchedulerOutcome::Throughput;
  a.target = std::min(std::max<uint64_t>(r, 1), sat_add(n, 1));
  return SchedulerOutcome::Admit;
}

}  // namespace

std::string_view scheduler_outcome_name(SchedulerOutcome outcome) {
  switch (outcome) {
    case SchedulerOutcome::Capacity: return "Capacity";
    case SchedulerOutcome::Missing: return "Missing";
    case SchedulerOutcome::Stale: return "Stale";
    case SchedulerOutcome::Observing: return "Observing";
    case SchedulerOutcome::Growing: return "Growing";
    case SchedulerOutcome::Pressure: return "Pressure";
    case SchedulerOutcome::Throughput: return "Throughput";
    case SchedulerOutcome::Headroom: return "Headroom";
    case SchedulerOutcome::Admit: return "Admit";
  }
  return "Missing";
}

SchedulerAssessment assess_scheduler(SchedulerHistory& history, uint64_t now_ns, uint64_t current,
                                     uint64_t requested) {
  SchedulerAssessment a;
  a.peak_engine_bytes = history.peak_engine_bytes;
  a.engine_need_bytes = engine_need_bytes(history.peak_engine_bytes);
  if (history.samples.empty()) return a;
  const EngineMemorySample& newest = history.samples.back();
  const EngineMemorySample& oldest = history.samples.front();
  a.available_bytes = newest.available_bytes;
  a.newest_collection_end_ns = newest.collection_end_ns;

  if (now_ns > newest.collection_end_ns && now_ns - newest.collection_end_ns > 3 * kNsPerSecond) {
    a.outcome = SchedulerOutcome::Stale;
    return a;
  }
  if (current == 0 || newest.engine_bytes.size() != current) return a;
  if (newest.available_bytes < kFourGiB) {
    a.outcome = SchedulerOutcome::Pressure;
    return a;
  }
  if (history.samples.size() < 3 || (newest.collection_end_ns - oldest.collection_end_ns) / kNsPerSecond < 2 ||
      sat_sub(newest.frames, oldest.frames) < 2) {
    a.outcome = SchedulerOutcome::Observing;
    return a;
  }
  const EngineGrowth growth = recent_engine_growth(history.samples);
  a.growth_reserve_bytes = sat_add(growth.larger, growth.larger);
  const uint64_t reserve = sat_add(kFourGiB, a.growth_reserve_bytes);
  if (newest.available_bytes < reserve) {
    a.outcome = SchedulerOutcome::Pressure;
    return a;
  }
  a.outcome = settle(history, a, current, requested, reserve, growth.growing, newest);
  return a;
}

std::optional<WorkerProjection> extra_worker_pays_off(const SchedulerAssessment& a, const TrialFigures& f) {
  const uint64_t k = a.target;
  if (a.outcome != SchedulerOutcome::Admit || k < 2 || !a.rate || !positive_finite(*a.rate)) return std::nullopt;
  if (!f.startup_secs_per_worker || !positive_finite(*f.startup_secs_per_worker)) return std::nullopt;
  if (!std::isfinite(f.fixed_secs) || f.fixed_secs < 0.0 || !(f.cpu_percent < 90.0) || !(f.factor >= 1.0)) {
    return std::nullopt;
  }
  if (k > UINT64_MAX / 8 || f.useful_queued_frames < 8 * k) return std::nullopt;

  // What one more engine can add: the share of one running engine when the
  // machine has it idle; a tenth without the pool's CPU share.
  double cpu_gain = 0.1;
  if (positive_finite(f.pool_cpu_percent)) {
    const double idle = std::max(100.0 - f.cpu_percent, 0.0);
    cpu_gain = std::min(idle / f.pool_cpu_percent, 1.0 / static_cast<double>(k - 1));
  }
  double gain = cpu_gain;
  if (k != 2) {
    if (!a.previous_rate || !positive_finite(*a.previous_rate)) return std::nullopt;
    gain = std::min((*a.rate / *a.previous_rate - 1.0) * 0.5, cpu_gain);
  }
  if (!(gain > 0.0)) return std::nullopt;
  const double queued = static_cast<double>(f.useful_queued_frames);
  const double startup = *f.startup_secs_per_worker;
  WorkerProjection p;
  p.workers = k;
  p.predicted_fps = *a.rate * (1.0 + gain);
  p.current_secs = queued / *a.rate;
  p.transition_secs = startup * (static_cast<double>(k) + 1.0) + f.fixed_secs;
  p.candidate_secs = p.transition_secs + queued / p.predicted_fps;
  p.margin_secs = std::max({p.current_secs * 0.03, startup, 1.0});
  if (!(p.candidate_secs + p.margin_secs < p.current_secs)) return std::nullopt;
  return p;
}

}  // namespace vel
