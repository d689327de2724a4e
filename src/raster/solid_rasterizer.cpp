#include "raster/solid_rasterizer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace vel {
namespace {

constexpr double kRadiansPerDegree = 0.017453292519943295;
constexpr StoreWord kStoreFlag = StoreWord{1} << 32;
// Below this error bound a stepped layer coordinate is recomputed exactly.
constexpr double kStepError = 5.6843418860808015e-14;  // 2^-44
constexpr int64_t kChunk = 64;

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
  // Writes the opaque store's bytes over [i0, i1) of row j at once; false
  // when the run leaves the buffer (then nothing is written).
  bool fill(int64_t i0, int64_t i1, int64_t j, StoreWord store) {
    const uint64_t at = (static_cast<uint64_t>(j) * width_ + static_cast<uint64_t>(i0)) * 4;
    const uint64_t len = static_cast<uint64_t>(i1 - i0) * 4;
    if (at + len > pixels_.size()) return false;
    uint8_t word[4];
    for (int ch = 0; ch < 4; ++ch) word[ch] = static_cast<uint8_t>(store >> (8 * ch));
    uint8_t* out = pixels_.data() + at;
    for (uint64_t k = 0; k < len; k += 4) std::memcpy(out + k, word, 4);
    return true;
  }

 private:
  std::span<uint8_t> pixels_;
  uint32_t width_;
};

void draw_axis_aligned(Canvas& canvas, const Placement& p, const Box& b, double opacity, const SolidPaint& paint,
                       StoreWord store) {
  // Layer x does not depend on the row here, so the covered columns are one
  // run, found once from both ends.
  int64_t first = b.x0;
  while (first < b.x1 && !p.inside_x(p.layer_x(first, b.y0))) ++first;
  int64_t end = b.x1;
  while (end > first && !p.inside_x(p.layer_x(end - 1, b.y0))) --end;
  if (first >= end) return;
  for (int64_t j = b.y0; j < b.y1; ++j) {
    if (!p.inside_y(p.layer_y(first, j))) continue;
    if (store && canvas.fill(first, end, j, store)) continue;
    for (int64_t i = first; i < end; ++i) canvas.put(i, j, opacity, paint, store);
  }
}

void draw_stepped(Canvas& canvas, const Placement& p, const Box& b, double opacity, const SolidPaint& paint,
                  StoreWord store) {
  const double step_x = p.c * p.d / p.sx;
  const double step_y = -p.s * p.d / p.sy;
  for (int64_t j = b.y0; j < b.y1; ++j) {
    const double row = (static_cast<double>(j) + 0.5) * p.d;
    for (int64_t i0 = b.x0; i0 < b.x1; i0 += kChunk) {
      const int64_t i_end = std::min(i0 + kChunk, b.x1);
      const double far_x = (static_cast<double>(i0) + 64.5) * p.d;
      const double bound_x =
          kStepError * (64.0 * std::fabs(step_x) + std::fabs(p.ax) +
                        (std::fabs(p.s) * (std::fabs(p.py) + row) + std::fabs(p.c) * (std::fabs(p.px) + far_x)) /
                            std::fabs(p.sx) +
                        1.0);
      const double bound_y =
          kStepError * (64.0 * std::fabs(p.s * p.d / p.sy) + std::fabs(p.ay) +
                        (std::fabs(p.c) * (std::fabs(p.py) + row) + std::fabs(p.s) * (std::fabs(p.px) + far_x)) /
                            std::fabs(p.sy) +
                        1.0);
      double lx = p.layer_x(i0, j);
      double ly = p.layer_y(i0, j);
      for (int64_t i = i0; i < i_end; ++i) {
        if (i > i0) {
          lx += step_x;
          ly += step_y;
        }
        double x = lx, y = ly;
        const bool clear_of_edges = std::fabs(x) > bound_x && std::fabs(x - p.w) > bound_x &&
                                    std::fabs(y) > bound_y && std::fabs(y - p.h) > bound_y;
        if (!clear_of_edges) {
          x = p.layer_x(i, j);
          y = p.layer_y(i, j);
        }
        if (p.inside_x(x) && p.inside_y(y)) canvas.put(i, j, opacity, paint, store);
      }
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

void composite_pixel(double opacity, uint8_t* pixel, const SolidPaint& paint, StoreWord store) {
  if (store & kStoreFlag) {
    for (int ch = 0; ch < 4; ++ch) pixel[ch] = static_cast<uint8_t>(store >> (8 * ch));
    return;
  }
  const double a = opacity;
  const double ab = kByteUnit[pixel[3]];
  const double source[3] = {paint.red, paint.green, paint.blue};
  for (int ch = 0; ch < 3; ++ch) {
    const double backdrop = kByteUnit[pixel[ch]];
    const double cb = ab > 0.0 ? std::min(backdrop / ab, 1.0) : 0.0;
    const double k = std::clamp(paint.kernel ? paint.kernel(cb, source[ch]) : source[ch], 0.0, 1.0);
    pixel[ch] = unit_to_byte((1.0 - a) * backdrop + a * ((1.0 - ab) * source[ch] + ab * k));
  }
  pixel[3] = unit_to_byte(a + (1.0 - a) * ab);
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
  if (p.s == 0.0 && p.c == 1.0) {
    draw_axis_aligned(canvas, p, box, tr.opacity, paint, store);
  } else {
    draw_stepped(canvas, p, box, tr.opacity, paint, store);
  }
}

}  // namespace vel
