// One solid colour composited over a run of premultiplied RGBA8 pixels.
//
// Every pixel of a solid layer gets the same colour and opacity, so each
// channel's result is a short sum of the backdrop's bytes times constants of
// the layer. `SpanBlender` works that sum out in single precision, four or
// eight pixels at a time where the processor allows, and keeps a result only
// when it lies clear of a rounding boundary by more than the sum's worst
// error: there the byte is the one `composite_pixel` gives in double
// precision. The few channels near a boundary are worked out as
// `composite_pixel` does (each depends on its own byte and the alpha byte
// alone), so the bytes are always exactly those of the plain path. Over a
// backdrop that differs from pixel to pixel most groups hold such a channel;
// there the blender soon makes a table of every result by byte and alpha and
// looks each pixel up in it instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "raster/blend_kernels.h"
#include "raster/blend_table.h"
#include "raster/solid_rasterizer.h"

namespace vel {

// How a span is blended: pixel after pixel through `composite_pixel`, four
// (SSE2) or eight (AVX2, when the processor has it) pixels at a time, or by
// looking each pixel up in the layer's table of results by byte and alpha
// (made once, by the fastest of the others).
enum class SpanKernel : uint8_t { Plain, Sse2, Avx2, Table };
bool span_kernel_available(SpanKernel kernel);
// The fastest of the vector kernels this processor has (plain without any).
SpanKernel best_vector_kernel();

// The constants of a layer's sums, in single precision: 1 - opacity, the
// opacity, 255 x opacity and, per colour channel, opacity x colour, the same
// x 255 and opacity x (1 - colour); and the opacity and colour as the exact
// path takes them.
struct SpanConstants {
  float keep = 0, a = 0, a255 = 0;
  struct Channel {
    float as = 0, as255 = 0, a1s = 0;
  } ch[3];
  double opacity = 0, colour[3] = {0, 0, 0};
};

// A layer's paint at one opacity, with the constants of its sums worked out
// once and the channels that needed the exact path remembered. One per layer
// drawn, not shared between threads; the paint must outlive it.
class SpanBlender {
 public:
  SpanBlender(const SolidPaint& paint, double opacity);

  // Composites the paint over `count` pixels at `pixels` (4 bytes each), by
  // the fastest kernel this processor has, turning to the table once enough
  // channels have needed the exact path that it pays for itself; the bytes
  // do not depend on it.
  void blend(uint8_t* pixels, size_t count);
  // The same by the kernel given; one this processor lacks counts as plain.
  void blend_with(SpanKernel kernel, uint8_t* pixels, size_t count);
  // How many pixels the vector kernels have handed to the exact path so far,
  // counted by whole groups: what made the blender turn to its table, and
  // what a stack of layers weighs before making one table of them all.
  size_t settled_pixels() const { return settled_pixels_; }
  // The blender's own table once it has made one; null before.
  const BlendTable* table() const { return table_.get(); }
  // Whether the vector kernels serve this paint (a known kernel, finite
  // colours in 0..1, an opacity in (0, 1]); otherwise every kernel is plain.
  bool vectorised() const { return vector_; }

  // What `composite_pixel` makes of one colour channel's byte under an
  // alpha byte, and of the alpha byte, remembered once worked out.
  uint8_t exact_channel(int channel, uint8_t backdrop, uint8_t alpha);
  uint8_t exact_alpha(uint8_t alpha);
  // The remembered results of one channel, indexed by alpha byte x 256 +
  // channel byte, as 1 + result (0: not yet known); null before they are kept.
  const uint16_t* known_channels(int channel) const {
    return by_channel_ ? by_channel_.get() + (size_t(channel) << 16) : nullptr;
  }

 private:
  const SolidPaint& paint_;
  double opacity_;
  bool vector_ = false;
  BlendKind kind_ = BlendKind::Normal;
  SpanConstants constants_;
  // The results by channel, byte and alpha byte, as 1 + result (0: not yet
  // known); made once a few hundred channels have needed them (a colour and
  // opacity whose sums fall right on rounding boundaries, such as a half at
  // a fifth of opacity, needs them often).
  static constexpr size_t kRememberAfter = 256;
  size_t exact_count_ = 0;

 public:
  // The layer's table is made by blending its 65536 pixels once, which costs
  // about as much as settling that many pixels of a textured backdrop;
  // `blend` makes it once the groups it settled reach that many pixels.
  static constexpr size_t kTableAfter = BlendTable::kEntries;

 private:
  size_t settled_pixels_ = 0;
  std::unique_ptr<BlendTable> table_;
  bool make_table(SpanKernel by);
  // The whole groups of `count` by a vector kernel, counting what they
  // settled; how many pixels that was (0 for any other kernel).
  size_t blend_groups(SpanKernel kernel, uint8_t* pixels, size_t count);
  void blend_tail(SpanKernel kernel, uint8_t* pixels, size_t count);
  std::unique_ptr<uint16_t[]> by_channel_;
  uint16_t by_alpha_[256]{};
};

}  // namespace vel
