#include "panel/stats/level_delivery_stats.h"

#include <algorithm>
#include <cmath>

#include "panel/stats/total_order.h"

namespace vel {
namespace {

bool fresh_at(const LevelDeliveryStats& s, uint32_t i, double now) {
  const auto& ring = s.arrivals[i];
  if (ring.empty() || now < ring.back()) return false;
  const double window = std::clamp(2.0 * s.async_ms[i].average, 250.0, 2000.0);
  return now - ring.back() <= window;
}

double per_frame_estimate(const LevelDeliveryStats& s, uint32_t i, uint64_t n) {
  const double base = s.async_ms[i].average;
  double interval = base;
  const auto& ring = s.arrivals[i];
  if (ring.size() >= 3 && ring.back() - ring.front() >= 10.0) {
    interval = (ring.back() - ring.front()) / static_cast<double>(ring.size() - 1);
  }
  const double ahead = n > 0 ? static_cast<double>(n - 1) : 0.0;
  return (base + interval * ahead) / static_cast<double>(std::max<uint64_t>(n, 1));
}


}  // namespace

std::optional<uint32_t> factor_index(uint32_t factor) {
  switch (factor) {
    case 1:
      return 0;
    case 2:
      return 1;
    case 4:
      return 2;
    case 8:
      return 3;
    case 16:
      return 4;
    default:
      return std::nullopt;
  }
}

void fold_sample(ExpAverage& avg, double sample) {
  avg.average = avg.count == 0 ? sample : 0.3 * sample + 0.7 * avg.average;
  if (avg.count != UINT64_MAX) ++avg.count;
}

void note_level_delivery(LevelDeliveryStats& stats, uint32_t factor, double t) {
  const auto i = factor_index(factor);
  if (!std::isfinite(t) || !i) return;
  auto& ring = stats.arrivals[*i];
  if (!ring.empty()) {
    const double limit = std::max(2.0 * stats.async_ms[*i].average, 2000.0);
    if (t < ring.back() || t - ring.back() > limit) ring.clear();
  }
  ring.push_back(t);
  while (ring.size() > kMaxArrivalsPerFactor) ring.pop_front();
}

bool level_delivery_is_fresh(const LevelDeliveryStats& stats, uint32_t factor, double now) {
  const auto i = factor_index(factor);
  return i && std::isfinite(now) && fresh_at(stats, *i, now);
}

bool any_level_is_fresh(const LevelDeliveryStats& stats, double now) {
  if (!std::isfinite(now)) return false;
  for (uint32_t i = 0; i < 5; ++i) {
    if (fresh_at(stats, i, now)) return true;
  }
  return false;
}

std::optional<std::pair<uint32_t, double>> level_delivery_stats(const LevelDeliveryStats& stats, uint64_t n,
                                                                double now) {
  if (!std::isfinite(now)) return std::nullopt;
  std::optional<std::pair<uint32_t, double>> best;
  for (uint32_t i = 0; i < 5; ++i) {
    if (!fresh_at(stats, i, now) || stats.async_ms[i].count < 3) continue;
    const double e = per_frame_estimate(stats, i, n);
    if (!best || e < best->second) best = std::make_pair(1u << i, e);
  }
  return best;
}

std::optional<double> expected_level_interval(const LevelDeliveryStats& stats, uint32_t factor, bool use_inprocess,
                                              bool use_async, uint64_t n) {
  const auto i = factor_index(factor);
  if (!i) return std::nullopt;
  std::optional<double> a;
  if (use_inprocess && stats.inprocess_ms[*i].count >= 3) a = stats.inprocess_ms[*i].average;
  if (use_async && stats.async_ms[*i].count >= 3) {
    const double e = per_frame_estimate(stats, *i, n);
    return a ? (total_order_less(e, *a) ? e : *a) : e;
  }
  return a;
}

}  // namespace vel
