// A composition's frame timing as the preview's clocks use it.
#pragma once

#include <cstdint>
#include <optional>

#include "host/handles.h"

namespace vel {

struct CompFrameTiming {
  int32_t frame_value = 0;   // frame duration, reduced: value / scale seconds
  uint32_t frame_scale = 0;
  int32_t duration_value = 0;  // the item's duration
  uint32_t duration_scale = 0;
  friend bool operator==(const CompFrameTiming&, const CompFrameTiming&) = default;
};

// Pure part: the frame duration reduced by the gcd of value and scale;
// none unless all four numbers are positive.
std::optional<CompFrameTiming> reduce_frame_timing(HostTime frame_duration, HostTime duration);

// For a composition item: its reduced frame duration and its duration. None
// when the item is not a composition, a number is not positive or a host
// call fails. Main thread only.
std::optional<CompFrameTiming> comp_frame_timing(ItemH item);

}  // namespace vel
