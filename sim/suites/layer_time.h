// Times of a layer in the two modes the host offers: composition time, or
// layer time (composition time less the layer's offset).
#pragma once

#include <cstdint>
#include <optional>

#include "hostsdk/types.h"
#include "project/project_model.h"

namespace sim {

inline constexpr A_long kLayerTime = 0;
inline constexpr A_long kCompTime = 1;

// `t` (composition time) in `mode`; none for an unknown mode, or when the
// layer time cannot be told exactly in 32 bits.
inline std::optional<A_Time> time_in_mode(HostTime t, const Layer& layer, A_long mode) {
  if (mode == kCompTime) return A_Time{t.value, t.scale};
  if (mode != kLayerTime) return std::nullopt;
  const HostTime off = layer.offset;
  if (t.scale == off.scale) {
    const int64_t v = static_cast<int64_t>(t.value) - off.value;
    if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return A_Time{static_cast<A_long>(v), t.scale};
  }
  const int64_t scale = static_cast<int64_t>(t.scale) * off.scale;
  const int64_t value = static_cast<int64_t>(t.value) * off.scale - static_cast<int64_t>(off.value) * t.scale;
  if (scale > UINT32_MAX || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return A_Time{static_cast<A_long>(value), static_cast<A_u_long>(scale)};
}

// A layer time given by the plug-in, as composition seconds.
inline double comp_seconds_of_layer_time(const A_Time& t, const Layer& layer) {
  const double s = t.scale == 0 ? 0.0 : static_cast<double>(t.value) / t.scale;
  return s + layer.offset.seconds();
}

}  // namespace sim
