// What the delivery decision has measured at the factor it renders at: the
// expected in-process and asynchronous time per frame (from the per-level
// statistics), the factor that delivers soonest, and the cost model's
// prediction. The decision watches the asynchronous level for a stall; the
// DELIVERY line shows them all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "panel/stats/level_delivery_stats.h"
#include "panel/stats/render_cost_model.h"

namespace vel {

struct DeliveryMeasures {
  uint32_t downsample = 1;
  std::optional<double> sync_frame_ms;   // in-process, per frame
  std::optional<double> async_frame_ms;  // asynchronous, per frame over the frames ahead
  std::optional<std::pair<uint32_t, double>> fastest_level;  // fresh factor and its estimate
  std::optional<double> predicted_ms;    // the cost model at `downsample`
  bool async_fresh = false;              // asynchronous frames still arrive at their own pace
  std::optional<double> since_arrival_ms;  // since the level's last asynchronous arrival
};

// Asynchronous silence longer than this, with requests waiting, is a stall:
// the longest freshness window any measured render time gives.
inline constexpr double kAsyncStallMs = 2000.0;

// The measures for `frames_ahead` frames at `downsample`, at monotonic `now_ms`.
DeliveryMeasures measure_delivery(const LevelDeliveryStats& stats, const PerFactorTimes& per_factor,
                                  uint32_t downsample, uint64_t frames_ahead, double now_ms);

// The render manager has stopped delivering: asynchronous frames were
// measured at this factor, requests wait at the host, and none arrived for
// more than kAsyncStallMs.
bool async_stalled(const DeliveryMeasures& m, bool requests_waiting);

// " ds=4 level_ms(sync,async)=[Some(12.5), None] async_fresh=false fastest=Some(4)
// predicted_ms=None".
std::string delivery_measures_text(const DeliveryMeasures& m);

}  // namespace vel
