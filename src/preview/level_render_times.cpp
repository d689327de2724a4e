#include "preview/level_render_times.h"

#include <cmath>

namespace vel {

std::optional<uint32_t> per_factor_slot(uint32_t factor) {
  auto i = factor_index(factor);
  if (!i) return std::nullopt;
  return 4 - *i;
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
