// The stand-in host's own renderer: a composition of solid layers drawn at one
// time and downsample, bottom layer first, one sample at each pixel's centre,
// no anti-aliasing. The background colour is not drawn: uncovered pixels stay
// transparent black, as in the host's rendered frames.
#pragma once

#include <cstdint>
#include <vector>

#include "project/project_model.h"
#include "simhost/result.h"

namespace sim {

inline constexpr uint64_t kMaxRenderPixels = 64'000'000;

struct RenderRequest {
  HostTime time;
  int32_t downsample_x = 1;  // values below 1 mean 1
  int32_t downsample_y = 1;
  int32_t depth = 8;         // bits per channel: 8, 16 or 32; sets the working precision
  // Every pixel's coverage worked out on its own, even where a layer's rows
  // and columns could be settled once each: the reference the shortcut is
  // checked against. Both give the same pixels.
  bool per_pixel_coverage = false;
};

// Premultiplied RGBA in 0..1, rows top to bottom.
struct RenderedFrame {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<float> rgba;
};

// Output size for a downsample: the full size divided and rounded up, so a
// partly covered last column or row is kept.
int32_t downsampled_side(int32_t side, int32_t factor);

// Renders one frame. At 8 and 16 bits per channel every layer's result is
// rounded to that depth before the next layer composites over it, as a host
// working at that depth does; at 32 bits nothing is rounded.
Result<RenderedFrame> render_composition(const Composition& comp, const RenderRequest& req);

// Whether a layer shows at a composition time: switched on, with a source,
// and in point <= t < in point + duration (compared exactly).
bool layer_visible_at(const Layer& layer, HostTime t);

// A channel value in 0..1 to 8 bits: nearest, halves away from zero, clamped.
uint8_t to_8bit(double v);
// ... and to the host's 16-bit range 0..32768.
uint16_t to_16bit(double v);

}  // namespace sim
