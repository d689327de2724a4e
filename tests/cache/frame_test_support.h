// Small builders shared by the frame cache tests.
#pragma once

#include <cstdint>
#include <vector>

#include "cache/frame_cache.h"
#include "cache/rgba_frame.h"

namespace vel::test {

inline RgbaFrame make_frame(uint32_t w, uint32_t h, uint8_t fill = 7, double time = 0.0) {
  return RgbaFrame{PixelPayload::adopt(std::vector<uint8_t>(size_t{w} * h * 4, fill)), time, w, h};
}

// A frame key at `frame` of a 24 fps composition.
inline FrameKey at24(int32_t frame) { return FrameKey{frame, 24}; }

// A cache with a generous budget and no reserve, independent of the machine.
inline void roomy(FrameCache& c, uint64_t budget = uint64_t{1} << 40) {
  c.budget_bytes = budget;
  c.reserve_bytes = 0;
  c.frame_limit = kMaxFrameLimit;
}

}  // namespace vel::test
