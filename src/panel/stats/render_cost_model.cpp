#include "panel/stats/render_cost_model.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vel {
namespace {

constexpr double kMinUsableMs = 5.0;

std::optional<double> usable(double v) {
  if (std::isfinite(v) && v >= 0.0) return v;
  return std::nullopt;
}

}  // namespace

std::optional<RenderCostModel> estimate_render_cost(const PerFactorTimes& times) {
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  std::optional<double> previous;
  uint16_t coarsest = 0, finest = 0;
  struct Sample {
    double x, y;
  };
  std::array<Sample, 5> kept{};
  size_t count = 0;
  for (size_t slot = 0; slot < 5; ++slot) {
    const auto& t = times[slot];
    if (!t || !std::isfinite(*t) || *t < kMinUsableMs) continue;
    if (previous && *t < 0.8 * *previous) return std::nullopt;
    previous = *t;
    const double f = kSlotFactors[slot];
    const double x = (16.0 / f) * (16.0 / f);
    kept[count++] = {x, *t};
    n += 1;
    sx += x;
    sy += *t;
    sxx += x * x;
    sxy += x * *t;
    if (coarsest == 0) coarsest = static_cast<uint16_t>(f);
    finest = static_cast<uint16_t>(f);
  }
  if (count < 2 || !std::isfinite(sy) || !std::isfinite(sxy)) return std::nullopt;
  const double det = n * sxx - sx * sx;
  if (!(det > 0.0)) return std::nullopt;
  double slope = std::max((n * sxy - sx * sy) / det, 0.0);
  double intercept = (sy - sx * slope) / n;
  if (intercept < 0.0) {
    slope = sxy / sxx;
    intercept = 0.0;
  }
  double worst = 0.0, largest = kMinUsableMs;
  for (size_t i = 0; i < count; ++i) {
    worst = std::max(worst, kept[i].y - (intercept + slope * kept[i].x));
    largest = std::max(largest, kept[i].y);
  }
  if (worst > 0.25 * largest || !std::isfinite(slope) || !std::isfinite(intercept)) return std::nullopt;
  return RenderCostModel{intercept + worst, slope, coarsest, finest};
}

std::optional<double> predicted_render_ms(const PerFactorTimes& times, const std::optional<RenderCostModel>& model,
                                          std::optional<double> fallback, uint16_t fallback_factor, uint16_t factor) {
  const double f = std::max<uint16_t>(factor, 1);
  // The nearest slot; walking from the coarsest, a later slot must be
  // strictly nearer, so a tie stays with the coarser.
  size_t nearest = 0;
  for (size_t slot = 1; slot < 5; ++slot) {
    if (std::abs(static_cast<int>(kSlotFactors[slot]) - factor) <
        std::abs(static_cast<int>(kSlotFactors[nearest]) - factor)) {
      nearest = slot;
    }
  }
  if (times[nearest]) return usable(*times[nearest]);
  if (model && factor >= std::max(model->finest / 2, 1)) {
    return usable(model->fixed_ms + (16.0 / f) * (16.0 / f) * model->unit_ms);
  }
  for (size_t slot = 5; slot-- > 0;) {
    const auto& t = times[slot];
    if (kSlotFactors[slot] >= f && t && std::isfinite(*t) && *t >= kMinUsableMs) {
      const double r = kSlotFactors[slot] / f;
      return usable(*t * r * r);
    }
  }
  if (fallback && std::isfinite(*fallback) && *fallback >= 0.0) {
    const double r = static_cast<double>(fallback_factor) / f;
    return usable(*fallback * r * r);
  }
  return std::nullopt;
}

}  // namespace vel
