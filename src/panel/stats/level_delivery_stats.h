// Per downsample factor (1, 2, 4, 8, 16): arrival times of asynchronous
// renders and running averages of in-process and asynchronous render times,
// from which the delivery decision learns which factor delivers soonest,
// whether a factor is still delivering, and what one frame will cost.
// Main thread; times are monotonic_ms; a time that is not finite is ignored.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

namespace vel {

inline constexpr size_t kMaxArrivalsPerFactor = 64;

// Factor 1, 2, 4, 8, 16 → index 0..4; none for any other factor.
std::optional<uint32_t> factor_index(uint32_t factor);

struct ExpAverage {
  uint64_t count = 0;
  double average = 0.0;
};

// average = 0.3 × sample + 0.7 × average (the first sample becomes the
// average); count + 1, saturating.
void fold_sample(ExpAverage& avg, double sample);

struct LevelDeliveryStats {
  std::array<std::deque<double>, 5> arrivals;
  std::array<ExpAverage, 5> inprocess_ms{};
  std::array<ExpAverage, 5> async_ms{};
};

// One asynchronous arrival at `factor`; a late or long-silent arrival
// starts the factor's history over.
void note_level_delivery(LevelDeliveryStats& stats, uint32_t factor, double t);

// Whether the factor delivered recently enough, by its own pace.
bool level_delivery_is_fresh(const LevelDeliveryStats& stats, uint32_t factor, double now);
bool any_level_is_fresh(const LevelDeliveryStats& stats, double now);

// The fresh factor (with at least 3 asynchronous samples) whose per-frame
// cost over the next `n` frames is lowest; the finer factor on a tie.
std::optional<std::pair<uint32_t, double>> level_delivery_stats(const LevelDeliveryStats& stats, uint64_t n,
                                                                double now);

// Expected ms per frame at `factor` over the next `n` frames, from the
// in-process average, the asynchronous estimate, or the smaller of both;
// each needs at least 3 samples.
std::optional<double> expected_level_interval(const LevelDeliveryStats& stats, uint32_t factor, bool use_inprocess,
                                              bool use_async, uint64_t n);

}  // namespace vel
