#include "host/frame_timing.h"

#include <numeric>

#include "host/comp_calls.h"
#include "host/item_calls.h"

namespace vel {

std::optional<CompFrameTiming> reduce_frame_timing(HostTime frame_duration, HostTime duration) {
  if (frame_duration.value <= 0 || frame_duration.scale == 0 || duration.value <= 0 || duration.scale == 0)
    return std::nullopt;
  uint32_t fv = static_cast<uint32_t>(frame_duration.value);
  uint32_t g = std::gcd(fv, frame_duration.scale);
  return CompFrameTiming{static_cast<int32_t>(fv / g), frame_duration.scale / g, duration.value, duration.scale};
}

std::optional<CompFrameTiming> comp_frame_timing(ItemH item) {
  if (!item) return std::nullopt;
  auto type = item_type(item);
  if (!type || type.value() != ItemType::Comp) return std::nullopt;
  auto comp = comp_from_item(item);
  if (!comp || !comp.value()) return std::nullopt;
  auto frame = comp_frame_duration(*comp.value());
  if (!frame) return std::nullopt;
  auto dur = item_duration(item);
  if (!dur) return std::nullopt;
  return reduce_frame_timing(frame.value(), dur.value());
}

}  // namespace vel
