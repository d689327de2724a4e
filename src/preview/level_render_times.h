// Running averages of in-process and asynchronous render times per
// downsample factor (1, 2, 4, 8, 16), and the last measured time per factor,
// which the delivery decision and the cost model read.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace vel {

// Factor 1, 2, 4, 8, 16 → index 0..4; none for any other factor.
std::optional<uint32_t> factor_index(uint32_t factor);

struct ExpAverage {
  uint64_t count = 0;
  double average = 0.0;
};

// average = 0.3 × sample + 0.7 × average (the first sample becomes the
// average); count + 1, saturating.
void fold_sample(ExpAverage& avg, double sample);

struct LevelRenderTimes {
  std::array<ExpAverage, 5> inprocess_ms{};
  std::array<ExpAverage, 5> async_ms{};
};

// Per-factor render times in the slot order 16, 8, 4, 2, 1.
using PerFactorTimes = std::array<std::optional<double>, 5>;
std::optional<uint32_t> per_factor_slot(uint32_t factor);

// Folds a synchronous render: only for a factor with an index and a finite
// time above 0; also records the time in its per-factor slot. Answers
// whether it was taken.
bool record_inprocess_sample(LevelRenderTimes& times, PerFactorTimes& per_factor, uint32_t factor, double ms);
// Folds a delivered asynchronous render: a factor with an index and a finite
// time not below 0. Answers whether it was taken.
bool record_async_sample(LevelRenderTimes& times, uint32_t factor, double ms);

}  // namespace vel
