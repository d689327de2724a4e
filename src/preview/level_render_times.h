// Running averages of in-process and asynchronous render times per
// downsample factor (1, 2, 4, 8, 16), and the last measured time per factor,
// which the delivery decision and the cost model read.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "panel/stats/level_delivery_stats.h"
#include "panel/stats/render_cost_model.h"

namespace vel {

// The statistics live with the timing statistics of the presentation side;
// the preview folds its renders into them.
using LevelRenderTimes = LevelDeliveryStats;

std::optional<uint32_t> per_factor_slot(uint32_t factor);

// Folds a synchronous render: only for a factor with an index and a finite
// time above 0; also records the time in its per-factor slot. Answers
// whether it was taken.
bool record_inprocess_sample(LevelRenderTimes& times, PerFactorTimes& per_factor, uint32_t factor, double ms);
// Folds a delivered asynchronous render: a factor with an index and a finite
// time not below 0. Answers whether it was taken.
bool record_async_sample(LevelRenderTimes& times, uint32_t factor, double ms);

}  // namespace vel
