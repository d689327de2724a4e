#include "raster/solid_rasterizer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "raster/span_blend.h"

namespace vel {
namespace {

constexpr double kRadiansPerDegree = 0.017453292519943295;
constexpr StoreWord kStoreFlag = StoreWord{1} << 32;

// byte / 255 for every byte, the same doubles the division gives.
constexpr std::array<double, 256> make_byte_units() {
  std::array<double, 256> out{};
  for (int i = 0; i < 256; ++i) out[i] = i / 255.0;
  return out;
}
constexpr std::array<double, 256> kByteUnit = make_byte_units();

// The layer's mapping back from composition space, and what it covers.
struct Placement {
  double ax, ay, px, py, sx, sy, c, s;
  double w, h;
  double d;

  // Layer-space point of destination pixel (i, j)'s centre.
  double layer_x(int64_t i, int64_t j) const {
    const double dx = (static_cast<double>(i) + 0.5) * d - px;
    const double dy = (static_cast<double>(j) + 0.5) * d - py;
    return ax + (c * dx + s * dy) / sx;
  }
  double layer_y(int64_t i, int64_t j) const {
    const double dx = (static_cast<double>(i) + 0.5) * d - px;
    const double dy = (static_cast<double>(j) + 0.5) * d - py;
    return ay + (c * dy - s * dx) / sy;
  }
  bool inside_x(double lx) const { return lx >= 0.0 && lx < w; }
  bool inside_y(double ly) const { return ly >= 0.0 && ly < h; }
  bool covers(int64_t i, int64_t j) const { return inside_x(layer_x(i, j)) && inside_y(layer_y(i, j)); }
};

struct Box {
  int64_t x0, y0, x1, y1;
};

// The solid's corners mapped forward to destination pixels, widened by one
// pixel; the whole frame when the mapping is not finite.
Box bounding_box(const Placement& p, uint32_t width, uint32_t height) {
  double min_x = INFINITY, min_y = INFINITY, max_x = -INFINITY, max_y = -INFINITY;
  const double corners[4][2] = {{0, 0}, {p.w, 0}, {0, p.h}, {p.w, p.h}};
  for (const auto& k : corners) {
    const double lx = p.sx * (k[0] - p.ax), ly = p.sy * (k[1] - p.ay);
    const double X = (p.px + p.c * lx - p.s * ly) / p.d;
    const double Y = (p.py + p.s * lx + p.c * ly) / p.d;
    min_x = std::min(min_x, X);
    max_x = std::max(max_x, X);
    min_y = std::min(min_y, Y);
    max_y = std::max(max_y, Y);
  }
  if (!std::isfinite(min_x) || !std::isfinite(max_x) || !std::isfinite(min_y) || !std::isfinite(max_y)) {
    return {0, 0, width, height};
  }
  auto clamp_to = [](double v, uint32_t hi) { return static_cast<int64_t>(std::clamp(v, 0.0, double(hi))); };
  return {clamp_to(std::floor(min_x) - 1, width), clamp_to(std::floor(min_y) - 1, height),
          clamp_to(std::ceil(max_x) + 1, width), clamp_to(std::ceil(max_y) + 1, height)};
}

class Canvas {
 public:
  Canvas(std::span<uint8_t> pixels, uint32_t width) : pixels_(pixels), width_(width) {}
  void put(int64_t i, int64_t j, double opacity, const SolidPaint& paint, StoreWord store) {
    const uint64_t at = (static_cast<uint64_t>(j) * width_ + static_cast<uint64_t>(i)) * 4;
    if (at + 4 > pixels_.size()) return;
    composite_pixel(opacity, pixels_.data() + at, paint, store);
  }
  // Pixels [i0, i1) of row j, cut to the whole pixels inside the buffer.
  std::span<uint8_t> run(int64_t i0, int64_t i1, int64_t j) {
    const uint64_t at = (static_cast<uint64_t>(j) * width_ + static_cast<uint64_t>(i0)) * 4;
    if (at >= pixels_.size()) return {};
    const uint64_t room = (pixels_.size() - at) / 4;
    return pixels_.subspan(at, std::min<uint64_t>(room, static_cast<uint64_t>(i1 - i0)) * 4);
  }

 private:
  std::span<uint8_t> pixels_;
  uint32_t width_;
};

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

// Layer x and y are monotone along a row when every step of their
// arithmetic stays finite: each step (adding, multiplying or dividing by a
// number fixed for the row) is, and so is rounding to nearest. Bounded
// inputs keep every step far from overflow.
bool rows_are_monotone(const Placement& p) {
  constexpr double kBound = 1e200;
  for (double v : {p.ax, p.ay, p.px, p.py}) {
    if (!(std::fabs(v) <= kBound)) return false;
  }
  return std::isfinite(p.c) && std::isfinite(p.s) && std::isfinite(1.0 / p.sx) && std::isfinite(1.0 / p.sy);
}

// Narrows [lo, hi) of a row to where `holds` is true, given that it is true
// on a prefix or a suffix of the row (or everywhere, or nowhere).
template <class Test>
void narrow(int64_t& lo, int64_t& hi, Test holds) {
  if (lo >= hi) return;
  const bool first = holds(lo), last = holds(hi - 1);
  if (first && last) return;
  if (!first && !last) {
    hi = lo;
    return;
  }
  // The one change lies in (a, b]: a on the side of `first`, b on the other.
  int64_t a = lo, b = hi - 1;
  while (b - a > 1) {
    const int64_t mid = a + (b - a) / 2;
    (holds(mid) == first ? a : b) = mid;
  }
  if (first) {
    hi = b;
  } else {
    lo = b;
  }
}

// The columns of row j within the box whose centres the solid covers. Each
// of the four edge tests holds on a prefix or a suffix of the row, so the
// covered columns are one run, found by bisection on the exact test.
std::pair<int64_t, int64_t> covered_run(const Placement& p, const Box& b, int64_t j) {
  int64_t lo = b.x0, hi = b.x1;
  narrow(lo, hi, [&](int64_t i) { return p.layer_y(i, j) >= 0.0; });
  narrow(lo, hi, [&](int64_t i) { return p.layer_y(i, j) < p.h; });
  narrow(lo, hi, [&](int64_t i) { return p.layer_x(i, j) >= 0.0; });
  narrow(lo, hi, [&](int64_t i) { return p.layer_x(i, j) < p.w; });
  return {lo, hi};
}

void draw_runs(Canvas& canvas, const Placement& p, const Box& b, double opacity, const SolidPaint& paint,
               StoreWord store) {
  SpanBlender blender(paint, opacity);
  // Unrotated (a sine of exactly 0), the sine's products are zeros, which
  // change no edge test: layer x then depends on the column alone and layer
  // y on the row alone, so the run is found once and each row tested once.
  const bool separable = p.s == 0.0;
  int64_t col_lo = b.x0, col_hi = b.x1;
  if (separable) {
    narrow(col_lo, col_hi, [&](int64_t i) { return p.layer_x(i, b.y0) >= 0.0; });
    narrow(col_lo, col_hi, [&](int64_t i) { return p.layer_x(i, b.y0) < p.w; });
    if (col_lo >= col_hi) return;
  }
  for (int64_t j = b.y0; j < b.y1; ++j) {
    const auto [first, end] =
        separable ? (p.inside_y(p.layer_y(col_lo, j)) ? std::pair{col_lo, col_hi} : std::pair{col_lo, col_lo})
                  : covered_run(p, b, j);
    if (first >= end) continue;
    const std::span<uint8_t> run = canvas.run(first, end, j);
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
  if (tr.opacity <= 0.0) return;
  const double sx = tr.scale_x / 100.0, sy = tr.scale_y / 100.0;
  if (!(std::fabs(sx) >= 1e-9) || !(std::fabs(sy) >= 1e-9)) return;
  const double theta = tr.rotation * kRadiansPerDegree;
  const Placement p{tr.anchor_x, tr.anchor_y, tr.position_x, tr.position_y, sx, sy,
                    std::cos(theta), std::sin(theta), paint.width, paint.height,
                    static_cast<double>(std::max<uint32_t>(downsample, 1))};
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
