#include "raster/solid_placement.h"

#include <cmath>

namespace vel {
namespace {

constexpr double kRadiansPerDegree = 0.017453292519943295;

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

}  // namespace

std::optional<Placement> place_solid(const SolidPaint& paint, const EvaluatedTransform& tr, uint32_t downsample) {
  if (tr.opacity <= 0.0) return std::nullopt;
  const double sx = tr.scale_x / 100.0, sy = tr.scale_y / 100.0;
  if (!(std::fabs(sx) >= 1e-9) || !(std::fabs(sy) >= 1e-9)) return std::nullopt;
  const double theta = tr.rotation * kRadiansPerDegree;
  return Placement{tr.anchor_x, tr.anchor_y, tr.position_x, tr.position_y, sx, sy,
                   std::cos(theta), std::sin(theta), paint.width, paint.height,
                   static_cast<double>(std::max<uint32_t>(downsample, 1))};
}

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

// Every step of the arithmetic (adding, multiplying or dividing by a number
// fixed for the row, then rounding to nearest) is monotone while it stays
// finite; bounded inputs keep every step far from overflow.
bool rows_are_monotone(const Placement& p) {
  constexpr double kBound = 1e200;
  for (double v : {p.ax, p.ay, p.px, p.py}) {
    if (!(std::fabs(v) <= kBound)) return false;
  }
  return std::isfinite(p.c) && std::isfinite(p.s) && std::isfinite(1.0 / p.sx) && std::isfinite(1.0 / p.sy);
}

// Unrotated (a sine of exactly 0), the sine's products are zeros, which
// change no edge test: layer x then depends on the column alone and layer y
// on the row alone, so the run is found once and each row tested once.
RowRuns::RowRuns(const Placement& p, const Box& box)
    : p_(p), box_(box), separable_(p.s == 0.0), col_lo_(box.x0), col_hi_(box.x1) {
  if (!separable_ || box.empty()) return;
  narrow(col_lo_, col_hi_, [&](int64_t i) { return p.layer_x(i, box.y0) >= 0.0; });
  narrow(col_lo_, col_hi_, [&](int64_t i) { return p.layer_x(i, box.y0) < p.w; });
}

// Each of the four edge tests holds on a prefix or a suffix of the row, so
// the covered columns are one run, found by bisection on the exact test.
std::pair<int64_t, int64_t> RowRuns::run(int64_t j) const {
  if (j < box_.y0 || j >= box_.y1) return {box_.x0, box_.x0};
  if (separable_) {
    return p_.inside_y(p_.layer_y(col_lo_, j)) ? std::pair{col_lo_, col_hi_} : std::pair{col_lo_, col_lo_};
  }
  int64_t lo = box_.x0, hi = box_.x1;
  narrow(lo, hi, [&](int64_t i) { return p_.layer_y(i, j) >= 0.0; });
  narrow(lo, hi, [&](int64_t i) { return p_.layer_y(i, j) < p_.h; });
  narrow(lo, hi, [&](int64_t i) { return p_.layer_x(i, j) >= 0.0; });
  narrow(lo, hi, [&](int64_t i) { return p_.layer_x(i, j) < p_.w; });
  return {lo, hi};
}

}  // namespace vel
