// One solid colour composited over a run of premultiplied RGBA8 pixels.
//
// Every pixel of a solid layer gets the same colour and opacity, so each
// channel's result is a short sum of the backdrop's bytes times constants of
// the layer. `SpanBlender` works that sum out in single precision, four or
// eight pixels at a time where the processor allows, and keeps a result only
// when it lies clear of a rounding boundary by more than the sum's worst
// error: there the byte is the one `composite_pixel` gives in double
// precision. The few pixels with a channel near a boundary go through
// `composite_pixel` itself, so the bytes are always exactly those of the
// plain path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "raster/blend_kernels.h"
#include "raster/solid_rasterizer.h"

namespace vel {

// How a span is blended: pixel after pixel through `composite_pixel`, or four
// (SSE2) or eight (AVX2, when the processor has it) pixels at a time.
enum class SpanKernel : uint8_t { Plain, Sse2, Avx2 };
bool span_kernel_available(SpanKernel kernel);

// The constants of a layer's sums, in single precision: 1 - opacity, the
// opacity, 255 x opacity and, per colour channel, opacity x colour, the same
// x 255 and opacity x (1 - colour).
struct SpanConstants {
  float keep = 0, a = 0, a255 = 0;
  struct Channel {
    float as = 0, as255 = 0, a1s = 0;
  } ch[3];
};

// A layer's paint at one opacity, with the constants of its sums worked out
// once, and a small memory of the pixels that needed the exact path (flat
// backdrops repeat them). One per layer drawn; not shared between threads.
class SpanBlender {
 public:
  SpanBlender(const SolidPaint& paint, double opacity);

  // Composites the paint over `count` pixels at `pixels` (4 bytes each), by
  // the fastest kernel this processor has; the bytes do not depend on it.
  void blend(uint8_t* pixels, size_t count);
  // The same by the kernel given (which must be available).
  void blend_with(SpanKernel kernel, uint8_t* pixels, size_t count);
  // Whether the vector kernels serve this paint (a known kernel, finite
  // colours in 0..1, an opacity in (0, 1]); otherwise every kernel is plain.
  bool vectorised() const { return vector_; }

  // One pixel through `composite_pixel`, or from the memory of the same
  // bytes composited before.
  void exact(uint8_t* pixel);

 private:
  const SolidPaint& paint_;
  double opacity_;
  bool vector_ = false;
  BlendKind kind_ = BlendKind::Normal;
  SpanConstants constants_;
  // Direct-mapped, keyed by the pixel's bytes.
  static constexpr size_t kMemo = 16;
  uint32_t memo_in_[kMemo]{};
  uint32_t memo_out_[kMemo]{};
  bool memo_used_[kMemo]{};
};

}  // namespace vel
