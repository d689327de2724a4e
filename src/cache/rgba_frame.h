// RgbaFrame: a frame as it travels between producers, the cache, the panel
// and the workers. The pixels are shared, never copied on the way.
#pragma once

#include <cstdint>

#include "cache/pixel_payload.h"

namespace vel {

struct RgbaFrame {
  PixelPayload pixels;  // premultiplied RGBA8, rows of width × 4 bytes, length width × height × 4
  double time = 0.0;    // seconds
  uint32_t width = 0;
  uint32_t height = 0;
};

}  // namespace vel
