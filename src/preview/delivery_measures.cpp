#include "preview/delivery_measures.h"

#include "core/format.h"

namespace vel {

DeliveryMeasures measure_delivery(const LevelDeliveryStats& stats, const PerFactorTimes& per_factor,
                                  uint32_t downsample, uint64_t frames_ahead, double now_ms) {
  DeliveryMeasures m;
  m.downsample = downsample;
  m.sync_frame_ms = expected_level_interval(stats, downsample, true, false, 1);
  m.async_frame_ms = expected_level_interval(stats, downsample, false, true, frames_ahead);
  m.fastest_level = level_delivery_stats(stats, frames_ahead, now_ms);
  m.async_fresh = level_delivery_is_fresh(stats, downsample, now_ms);
  if (auto i = factor_index(downsample); i && !stats.arrivals[*i].empty()) {
    m.since_arrival_ms = now_ms - stats.arrivals[*i].back();
  }
  const uint16_t ds = static_cast<uint16_t>(downsample > 0 && downsample <= 16 ? downsample : 1);
  m.predicted_ms = predicted_render_ms(per_factor, estimate_render_cost(per_factor), m.sync_frame_ms, ds, ds);
  return m;
}

bool async_stalled(const DeliveryMeasures& m, bool requests_waiting) {
  return m.async_frame_ms.has_value() && !m.async_fresh && requests_waiting && m.since_arrival_ms &&
         *m.since_arrival_ms > kAsyncStallMs;
}

std::string delivery_measures_text(const DeliveryMeasures& m) {
  std::optional<uint32_t> fastest;
  if (m.fastest_level) fastest = m.fastest_level->first;
  return " ds=" + std::to_string(m.downsample) + " level_ms(sync,async)=[" + fmt_opt(m.sync_frame_ms) + ", " +
         fmt_opt(m.async_frame_ms) + "] async_fresh=" + (m.async_fresh ? "true" : "false") + " fastest=" + fmt_opt(fastest) + " predicted_ms=" + fmt_opt(m.predicted_ms);
}

}  // namespace vel
