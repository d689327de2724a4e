// One solid colour composited over a run of premultiplied RGBA8 pixels.
//
// Every pixel of a solid layer gets the same colour and opacity, so each
// channel's result is a short sum of the backdrop's bytes times constants of
// the layer. `blend_span` works that sum out in single precision, four pixels
// at a time where the target has SSE2, and keeps a result only when it lies
// clear of a rounding boundary by more than the sum's worst error: there the
// byte is the one `composite_pixel` gives in double precision. The few
// channels that land near a boundary go through `composite_pixel` itself, so
// the bytes are always exactly those of the plain path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "raster/solid_rasterizer.h"

namespace vel {

// A layer's paint at one opacity, with the constants of its sums worked out
// once, and a small memory of the pixels that needed the exact path (flat
// backdrops repeat them). One per layer drawn; not shared between threads.
class SpanBlender {
 public:
  SpanBlender(const SolidPaint& paint, double opacity);

  // Composites the paint over `count` pixels at `pixels` (4 bytes each).
  void blend(uint8_t* pixels, size_t count);
  // The same through `composite_pixel`, one pixel after the other.
  void blend_plain(uint8_t* pixels, size_t count) const;
  // Whether `blend` takes the vector path for this paint (a known kernel,
  // finite colours in 0..1 and an opacity in (0, 1]) on this build.
  bool vectorised() const { return vector_; }

  // Per colour channel: opacity x colour, the same x 255, and opacity x
  // (1 - colour).
  struct Channel {
    float as, as255, a1s;
  };

 private:
  void exact(uint8_t* pixel);

  const SolidPaint& paint_;
  double opacity_;
  bool vector_ = false;
  uint8_t kind_ = 0;
  float keep_ = 0, a_ = 0, a255_ = 0;
  Channel ch_[3]{};
  // Direct-mapped memory of exact results, keyed by the pixel's bytes.
  static constexpr size_t kMemo = 16;
  uint32_t memo_in_[kMemo]{};
  uint32_t memo_out_[kMemo]{};
  bool memo_used_[kMemo]{};
};

}  // namespace vel
