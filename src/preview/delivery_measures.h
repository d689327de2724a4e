// What the delivery decision has measured at the factor it renders at: the
// expected in-process and asynchronous time per frame (from the per-level
// statistics), the factor that delivers soonest, and the cost model's
// prediction. The decision weighs the first two; the DELIVERY line shows all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "panel/level_delivery_stats.h"
#include "panel/render_cost_model.h"

namespace vel {

struct DeliveryMeasures {
  uint32_t downsample = 1;
  std::optional<double> sync_frame_ms;   // in-process, per frame
  std::optional<double> async_frame_ms;  // asynchronous, per frame over the frames ahead
  std::optional<std::pair<uint32_t, double>> fastest_level;  // fresh factor and its estimate
  std::optional<double> predicted_ms;    // the cost model at `downsample`
};

// The measures for `frames_ahead` frames at `downsample`, at monotonic `now_ms`.
DeliveryMeasures measure_delivery(const LevelDeliveryStats& stats, const PerFactorTimes& per_factor,
                                  uint32_t downsample, uint64_t frames_ahead, double now_ms);

// Asynchronous renders clearly lose to in-process ones: measured in-process
// frames take at most half the asynchronous per-frame time.
bool sync_clearly_faster(const DeliveryMeasures& m);

// " ds=4 level_ms(sync,async)=[Some(12.5), None] fastest=Some(4) predicted_ms=None".
std::string delivery_measures_text(const DeliveryMeasures& m);

}  // namespace vel
