#include "raster/solid_rasterizer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "raster/solid_placement.h"
#include "raster/span_blend.h"

namespace vel {
namespace {

constexpr StoreWord kStoreFlag = StoreWord{1} << 32;

// byte / 255 for every byte, the same doubles the division gives.
constexpr std::array<double, 256> make_byte_units() {
  std::array<double, 256> out{};
  for (int i = 0; i < 256; ++i) out[i] = i / 255.0;
  return out;
}
constexpr std::array<double, 256> kByteUnit = make_byte_units();

// Writes the opaque store's four bytes over every pixel of `out`.
void fill_store(std::span<uint8_t> out, StoreWord store) {
  uint8_t word[4];
  for (int ch = 0; ch < 4; ++ch) word[ch] = static_cast<uint8_t>(store >> (8 * ch));
  uint8_t* at = out.data();
  uint8_t* const end = at + out.size();
  uint32_t packed;
  std::memcpy(&packed, word, 4);
#if defined(__x86_64__) && defined(__GNUC__)
  // The string store writes whole lines without reading them first, as
  // memset does; vector stores fetch every line before they overwrite it,
  // which costs a long run more than half as much again.
  if (out.size() >= 1024) {
    void* dst = at;
    size_t words = out.size() / 4;
    asm volatile("rep stosl" : "+D"(dst), "+c"(words) : "a"(packed) : "memory");
    return;
  }
#endif
#if defined(__SSE2__)
  const __m128i four = _mm_set1_epi32(static_cast<int>(packed));
  for (; end - at >= 16; at += 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(at), four);
#endif
  for (; at < end; at += 4) std::memcpy(at, word, 4);
}

void draw_runs(Canvas& canvas, const Placement& p, const Box& b, double opacity, const SolidPaint& paint,
               StoreWord store) {
  SpanBlender blender(paint, opacity);
  const RowRuns runs(p, b);
  for (int64_t j = b.y0; j < b.y1; ++j) {
    const auto [first, end] = runs.run(j);
    const std::span<uint8_t> run = canvas.run(first, end, j);
    if (run.empty()) continue;
    if (store) {
      fill_store(run, store);
    } else {
      blender.blend(run.data(), run.size() / 4);
    }
  }
}

// Every pixel of the box tested on its own: for placements too far out for
// the row-run argument to hold.
void draw_each(Canvas& canvas, const Placement& p, const Box& b, double opacity, const SolidPaint& paint,
               StoreWord store) {
  for (int64_t j = b.y0; j < b.y1; ++j) {
    for (int64_t i = b.x0; i < b.x1; ++i) {
      if (p.covers(i, j)) canvas.put(i, j, opacity, paint, store);
    }
  }
}

}  // namespace

uint8_t unit_to_byte(double v) {
  const double r = v * 255.0;
  if (!(r > 0.0)) return 0;
  if (r >= 254.5) return 255;
  // Half away from zero without a library call: below 255 the fraction
  // r - floor(r) is exact.
  const int whole = static_cast<int>(r);
  return static_cast<uint8_t>(whole + static_cast<int>(r - whole >= 0.5));
}

StoreWord opaque_store_word(const SolidPaint& paint) {
  const StoreWord r = unit_to_byte(paint.red), g = unit_to_byte(paint.green), b = unit_to_byte(paint.blue);
  return kStoreFlag | r | (g << 8) | (b << 16) | (StoreWord{255} << 24);
}

uint8_t composite_channel(double opacity, uint8_t backdrop_byte, uint8_t alpha_byte, double source,
                          BlendKernel kernel) {
  const double a = opacity;
  const double ab = kByteUnit[alpha_byte];
  const double backdrop = kByteUnit[backdrop_byte];
  const double cb = ab > 0.0 ? std::min(backdrop / ab, 1.0) : 0.0;
  const double k = std::clamp(kernel ? kernel(cb, source) : source, 0.0, 1.0);
  return unit_to_byte((1.0 - a) * backdrop + a * ((1.0 - ab) * source + ab * k));
}

uint8_t composite_alpha(double opacity, uint8_t alpha_byte) {
  const double a = opacity;
  return unit_to_byte(a + (1.0 - a) * kByteUnit[alpha_byte]);
}

void composite_pixel(double opacity, uint8_t* pixel, const SolidPaint& paint, StoreWord store) {
  if (store & kStoreFlag) {
    for (int ch = 0; ch < 4; ++ch) pixel[ch] = static_cast<uint8_t>(store >> (8 * ch));
    return;
  }
  const double source[3] = {paint.red, paint.green, paint.blue};
  for (int ch = 0; ch < 3; ++ch) pixel[ch] = composite_channel(opacity, pixel[ch], pixel[3], source[ch], paint.kernel);
  pixel[3] = composite_alpha(opacity, pixel[3]);
}

void rasterize_solid_layer(std::span<uint8_t> pixels, uint32_t width, uint32_t height, uint32_t downsample,
                           const SolidPaint& paint, const EvaluatedTransform& tr, bool optimize) {
  const std::optional<Placement> placed = place_solid(paint, tr, downsample);
  if (!placed) return;
  const Placement& p = *placed;
  Canvas canvas(pixels, width);
  if (!optimize) {
    for (int64_t j = 0; j < height; ++j) {
      for (int64_t i = 0; i < width; ++i) {
        if (p.covers(i, j)) canvas.put(i, j, tr.opacity, paint, 0);
      }
    }
    return;
  }
  const Box box = bounding_box(p, width, height);
  const StoreWord store = tr.opacity == 1.0 && paint.is_normal ? opaque_store_word(paint) : 0;
  if (rows_are_monotone(p)) {
    draw_runs(canvas, p, box, tr.opacity, paint, store);
  } else {
    draw_each(canvas, p, box, tr.opacity, paint, store);
  }
}

}  // namespace vel
