// A rendered frame as the host hands it out: four channels per pixel in the
// order alpha, red, green, blue, premultiplied, at 8, 16 (0..32768) or 32
// (float) bits per channel, in rows padded beyond their pixels.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "hostsdk/render.h"
#include "render/renderer.h"

namespace sim {

struct World {
  AEGP_WorldType type = AEGP_WorldType_8;
  int32_t width = 0;
  int32_t height = 0;
  uint32_t row_bytes = 0;
  AEGP_AlphaKind alpha = AEGP_Alpha_PREMULTIPLIED;
  std::vector<uint8_t> bytes;
};

// Bits per channel of a world type; 0 for none or an unknown type.
int32_t world_depth(AEGP_WorldType type);

// Rows are padded to the next multiple of 64 bytes past their pixels and the
// padding holds a fill pattern, so that a reader ignoring the row bytes shows.
std::unique_ptr<World> make_world(const RenderedFrame& frame, AEGP_WorldType type);

}  // namespace sim
