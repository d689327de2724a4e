// One frame of a composition of solids, drawn by the plug-in itself: the
// in-process grab's raster road. The backdrop starts transparent (the
// composition's background colour is not painted), layers are drawn bottom
// first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/result.h"
#include "raster/comp_model.h"

namespace vel {

// Premultiplied RGBA8, rows top to bottom without padding.
struct RasterFrame {
  std::vector<uint8_t> pixels;
  uint32_t width = 0;
  uint32_t height = 0;
};

// A frame above this many pixels is refused (256,000,000 bytes).
inline constexpr uint64_t kMaxRasterPixels = 64'000'000;

// The frame side at a downsample: the full side divided, rounded down, never
// below 1. A factor below 2 means full size.
uint32_t raster_side(uint32_t side, uint32_t downsample);

// Zero-filled pixels for a frame, or "raster frame allocation failed".
Result<std::vector<uint8_t>> zeroed_frame_pixels(uint32_t width, uint32_t height);

// Renders `comp` at `t` seconds. Fails with the rejection text of the first
// visible layer the raster path cannot draw, or "dimensions <w>x<h>" for an
// empty composition or a frame above the pixel budget.
Result<RasterFrame> render_raster_frame(const CompModel& comp, uint32_t downsample, bool optimize, double t);

}  // namespace vel
