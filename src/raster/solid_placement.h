// Where a solid layer lands in a frame: its mapping back from composition
// space, the box its corners span, and which columns of each row it covers,
// by the same exact test whether one pixel is asked at a time or a run.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "raster/solid_rasterizer.h"

namespace vel {

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

// The placement of a layer, or nothing when it draws nothing at all (zero or
// negative opacity, a scale of (near) zero or NaN).
std::optional<Placement> place_solid(const SolidPaint& paint, const EvaluatedTransform& transform,
                                     uint32_t downsample);

struct Box {
  int64_t x0, y0, x1, y1;
  bool empty() const { return x0 >= x1 || y0 >= y1; }
};

// The solid's corners mapped forward to destination pixels, widened by one
// pixel and cut to the frame; the whole frame when the mapping is not finite.
Box bounding_box(const Placement& p, uint32_t width, uint32_t height);

// Whether layer x and y are monotone along every row, so that each row's
// covered columns are one run found by bisection.
bool rows_are_monotone(const Placement& p);

// The covered columns of each row of a box, for a placement whose rows are
// monotone: [first, end), empty where the row covers nothing.
class RowRuns {
 public:
  RowRuns(const Placement& p, const Box& box);
  std::pair<int64_t, int64_t> run(int64_t j) const;

 private:
  const Placement& p_;
  Box box_;
  // Unrotated, layer x depends on the column alone: one run for every row.
  bool separable_;
  int64_t col_lo_, col_hi_;
};

// A frame's pixels, written only inside the buffer's length.
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
    if (i0 >= i1) return {};
    const uint64_t at = (static_cast<uint64_t>(j) * width_ + static_cast<uint64_t>(i0)) * 4;
    if (at >= pixels_.size()) return {};
    const uint64_t room = (pixels_.size() - at) / 4;
    return pixels_.subspan(at, std::min<uint64_t>(room, static_cast<uint64_t>(i1 - i0)) * 4);
  }

 private:
  std::span<uint8_t> pixels_;
  uint32_t width_;
};

}  // namespace vel
