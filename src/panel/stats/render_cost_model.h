// The render-cost model: a least-squares fit of render time against pixel
// count over the five per-factor render times, and the prediction of the
// render time at any factor from a measurement, the fit or a fallback.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace vel {

// Per-factor render times in ms, in the slot order of factors 16, 8, 4, 2, 1.
using PerFactorTimes = std::array<std::optional<double>, 5>;

inline constexpr std::array<uint32_t, 5> kSlotFactors = {16, 8, 4, 2, 1};

struct RenderCostModel {
  double fixed_ms = 0.0;  // with the worst positive residual added
  double unit_ms = 0.0;   // per unit of pixels: factor f costs (16 / f)² units
  uint16_t coarsest = 0;  // largest factor in the fit
  uint16_t finest = 0;    // smallest factor in the fit
};

// The fit over slots holding at least 5 ms; none with fewer than two, when
// a finer factor measured clearly cheaper than a coarser one, or when the
// fit misses a sample by more than a quarter of the largest time.
std::optional<RenderCostModel> estimate_render_cost(const PerFactorTimes& times);

// Render time at `factor`: the nearest slot's measurement (a tie goes to the
// coarser), else the model, else a coarser measurement scaled by area, else
// the fallback time at `fallback_factor` scaled by area.
std::optional<double> predicted_render_ms(const PerFactorTimes& times, const std::optional<RenderCostModel>& model,
                                          std::optional<double> fallback, uint16_t fallback_factor, uint16_t factor);

}  // namespace vel
