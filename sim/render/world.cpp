#include "render/world.h"

#include <cstring>

namespace sim {

int32_t world_depth(AEGP_WorldType type) {
  switch (type) {
    case AEGP_WorldType_8: return 8;
    case AEGP_WorldType_16: return 16;
    case AEGP_WorldType_32: return 32;
    default: return 0;
  }
}

std::unique_ptr<World> make_world(const RenderedFrame& frame, AEGP_WorldType type) {
  auto w = std::make_unique<World>();
  w->type = type;
  w->width = frame.width;
  w->height = frame.height;
  const size_t channel = static_cast<size_t>(world_depth(type) / 8);
  const size_t pixels_bytes = static_cast<size_t>(frame.width) * 4 * channel;
  w->row_bytes = static_cast<uint32_t>((pixels_bytes / 64 + 1) * 64);
  w->bytes.assign(static_cast<size_t>(w->row_bytes) * frame.height, 0xCD);

  for (int32_t y = 0; y < frame.height; ++y) {
    uint8_t* row = w->bytes.data() + static_cast<size_t>(y) * w->row_bytes;
    const float* src = frame.rgba.data() + static_cast<size_t>(y) * frame.width * 4;
    if (type == AEGP_WorldType_8) {
      for (int32_t x = 0; x < frame.width; ++x) {
        const float* p = src + static_cast<size_t>(x) * 4;
        uint8_t* dst = row + static_cast<size_t>(x) * 4;
        dst[0] = to_8bit(p[3]);
        dst[1] = to_8bit(p[0]);
        dst[2] = to_8bit(p[1]);
        dst[3] = to_8bit(p[2]);
      }
      continue;
    }
    for (int32_t x = 0; x < frame.width; ++x) {
      const float* p = src + static_cast<size_t>(x) * 4;
      const float argb[4] = {p[3], p[0], p[1], p[2]};
      for (int c = 0; c < 4; ++c) {
        uint8_t* dst = row + (static_cast<size_t>(x) * 4 + c) * channel;
        if (type == AEGP_WorldType_16) {
          uint16_t v = to_16bit(argb[c]);
          std::memcpy(dst, &v, sizeof v);
        } else {
          std::memcpy(dst, &argb[c], sizeof(float));
        }
      }
    }
  }
  return w;
}

}  // namespace sim
