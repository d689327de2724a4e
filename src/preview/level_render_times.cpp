#include "preview/level_render_times.h"

#include <cmath>

namespace vel {

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

std::optional<uint32_t> per_factor_slot(uint32_t factor) {
  auto i = factor_index(factor);
  if (!i) return std::nullopt;
  return 4 - *i;
}

void fold_sample(ExpAverage& avg, double sample) {
  avg.average = avg.count == 0 ? sample : 0.3 * sample + 0.7 * avg.average;
  if (avg.count != UINT64_MAX) ++avg.count;
}

bool record_inprocess_sample(LevelRenderTimes& times, PerFactorTimes& per_factor, uint32_t factor, double ms) {
  auto i = factor_index(factor);
  if (!i || !std::isfinite(ms) || ms <= 0.0) return false;
  fold_sample(times.inprocess_ms[*i], ms);
  per_factor[*per_factor_slot(factor)] = ms;
  return true;
}

bool record_async_sample(LevelRenderTimes& times, uint32_t factor, double ms) {
  auto i = factor_index(factor);
  if (!i || !std::isfinite(ms) || ms < 0.0) return false;
  fold_sample(times.async_ms[*i], ms);
  return true;
}

}  // namespace vel
