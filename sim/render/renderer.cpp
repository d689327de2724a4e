#include "render/renderer.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "project/keyframe_eval.h"
#include "render/blend_modes.h"

namespace sim {
namespace {

// a < b for two host times, exactly.
int compare_times(HostTime a, HostTime b) {
  __int128 l = static_cast<__int128>(a.value) * b.scale;
  __int128 r = static_cast<__int128>(b.value) * a.scale;
  return l < r ? -1 : (l > r ? 1 : 0);
}

// Layer-space to composition-space mapping of one layer at one time.
struct Placement {
  double ax, ay;   // anchor
  double px, py;   // position
  double sx, sy;   // scale as factors
  double c, s;     // cosine and sine of the rotation
  double opacity;  // 0..1
};

Placement place(const Layer& layer, double t) {
  const Transform& tr = layer.transform;
  Vec3 anchor = property_value_at(tr.anchor, t);
  Vec3 position = property_value_at(tr.position, t);
  Vec3 scale = property_value_at(tr.scale, t);
  double rotation = property_value_at(tr.rotation, t)[0];
  double opacity = property_value_at(tr.opacity, t)[0];
  constexpr double kRadiansPerDegree = 3.14159265358979323846 / 180.0;
  double theta = rotation * kRadiansPerDegree;
  Placement p;
  p.ax = anchor[0];
  p.ay = anchor[1];
  p.px = position[0];
  p.py = position[1];
  p.sx = scale[0] / 100.0;
  p.sy = scale[1] / 100.0;
  p.c = std::cos(theta);
  p.s = std::sin(theta);
  p.opacity = std::isnan(opacity) ? 0.0 : std::clamp(opacity / 100.0, 0.0, 1.0);
  return p;
}

double quantize(double v, int32_t depth) {
  if (depth == 8) return to_8bit(v) / 255.0;
  if (depth == 16) return to_16bit(v) / 32768.0;
  return v;
}

// Whether the pixel centre at (qx, qy) from the layer's position falls in
// the solid: back into layer space, undoing the rotation, then the scale.
bool inside_solid(const Placement& p, double w, double h, double qx, double qy) {
  const double lx = p.ax + (p.c * qx + p.s * qy) / p.sx;
  const double ly = p.ay + (p.c * qy - p.s * qx) / p.sy;
  return lx >= 0.0 && lx < w && ly >= 0.0 && ly < h;
}

// Coverage of the box's rows, and its covered columns as runs [begin, end);
// reused from layer to layer.
struct SeparableCoverage {
  std::vector<std::pair<int64_t, int64_t>> runs;
  std::vector<uint8_t> rows;
};

// Without rotation (a sine of exactly 0) the products with the sine in
// `inside_solid` are zeros, which change no sum, as long as every centre
// offset is finite: a pixel's column alone then decides its horizontal test
// and its row alone its vertical one. Each is worked out once, with the very
// expression of the per-pixel test and the first row's (or column's) offset
// standing in for the other. False where that does not hold.
bool separable_coverage(const Placement& p, double w, double h, int64_t x0, int64_t x1, int64_t y0, int64_t y1,
                        int32_t dsx, int32_t dsy, SeparableCoverage& cover) {
  if (p.s != 0.0 || x0 >= x1 || y0 >= y1) return false;
  const double qx0 = (x0 + 0.5) * dsx - p.px;
  const double qy0 = (y0 + 0.5) * dsy - p.py;
  cover.runs.clear();
  cover.rows.resize(static_cast<size_t>(y1 - y0));
  for (int64_t i = x0; i < x1; ++i) {
    const double qx = (i + 0.5) * dsx - p.px;
    if (!std::isfinite(qx)) return false;
    const double lx = p.ax + (p.c * qx + p.s * qy0) / p.sx;
    if (!(lx >= 0.0 && lx < w)) continue;
    if (!cover.runs.empty() && cover.runs.back().second == i) {
      cover.runs.back().second = i + 1;
    } else {
      cover.runs.emplace_back(i, i + 1);
    }
  }
  for (int64_t j = y0; j < y1; ++j) {
    const double qy = (j + 0.5) * dsy - p.py;
    if (!std::isfinite(qy)) return false;
    const double ly = p.ay + (p.c * qy - p.s * qx0) / p.sy;
    cover.rows[static_cast<size_t>(j - y0)] = ly >= 0.0 && ly < h;
  }
  return true;
}

void draw_solid(RenderedFrame& frame, const Solid& solid, const Placement& p, BlendFn blend, int32_t dsx,
                int32_t dsy, int32_t depth, bool per_pixel, SeparableCoverage& cover) {
  if (!(p.opacity > 0.0)) return;
  if (!(std::fabs(p.sx) >= 1e-9) || !(std::fabs(p.sy) >= 1e-9)) return;
  const double w = solid.width, h = solid.height;

  // Destination box: the solid's corners mapped forward, widened a pixel.
  double min_x = INFINITY, min_y = INFINITY, max_x = -INFINITY, max_y = -INFINITY;
  const double corners[4][2] = {{0, 0}, {w, 0}, {0, h}, {w, h}};
  for (const auto& k : corners) {
    double lx = (k[0] - p.ax) * p.sx, ly = (k[1] - p.ay) * p.sy;
    double X = (p.px + p.c * lx - p.s * ly) / dsx;
    double Y = (p.py + p.s * lx + p.c * ly) / dsy;
    min_x = std::min(min_x, X);
    max_x = std::max(max_x, X);
    min_y = std::min(min_y, Y);
    max_y = std::max(max_y, Y);
  }
  int64_t x0 = 0, y0 = 0, x1 = frame.width, y1 = frame.height;
  if (std::isfinite(min_x) && std::isfinite(max_x) && std::isfinite(min_y) && std::isfinite(max_y)) {
    auto clampi = [](double v, int64_t hi) {
      return static_cast<int64_t>(std::clamp(v, 0.0, static_cast<double>(hi)));
    };
    x0 = clampi(std::floor(min_x) - 1, frame.width);
    x1 = clampi(std::ceil(max_x) + 1, frame.width);
    y0 = clampi(std::floor(min_y) - 1, frame.height);
    y1 = clampi(std::ceil(max_y) + 1, frame.height);
  }

  const double cs[3] = {std::clamp(solid.color[0], 0.0, 1.0), std::clamp(solid.color[1], 0.0, 1.0),
                        std::clamp(solid.color[2], 0.0, 1.0)};
  const double a = p.opacity;
  // An opaque normal layer replaces what is under it: the formula below then
  // gives the source colour with full alpha, computed once here.
  const bool replaces = a >= 1.0 && blend == blend_for_mode(kTransferNormal);
  const float opaque[4] = {static_cast<float>(quantize(cs[0], depth)), static_cast<float>(quantize(cs[1], depth)),
                           static_cast<float>(quantize(cs[2], depth)), 1.0f};
  auto shade = [&](float* px) {
    if (replaces) {
      std::copy(opaque, opaque + 4, px);
      return;
    }
    const double ab = px[3];
    for (int ch = 0; ch < 3; ++ch) {
      const double premul = px[ch];
      const double cb = ab > 0.0 ? std::min(premul / ab, 1.0) : 0.0;
      const double mixed = std::clamp(blend(cb, cs[ch]), 0.0, 1.0);
      // Source over backdrop, the source's colour blended where the
      // backdrop has coverage.
      const double out = (1.0 - a) * premul + a * ((1.0 - ab) * cs[ch] + ab * mixed);
      px[ch] = static_cast<float>(quantize(out, depth));
    }
    px[3] = static_cast<float>(quantize(a + (1.0 - a) * ab, depth));
  };
  auto pixel = [&](int64_t i, int64_t j) { return &frame.rgba[(static_cast<size_t>(j) * frame.width + i) * 4]; };

  if (!per_pixel && separable_coverage(p, w, h, x0, x1, y0, y1, dsx, dsy, cover)) {
    for (int64_t j = y0; j < y1; ++j) {
      if (!cover.rows[static_cast<size_t>(j - y0)]) continue;
      for (const auto& [begin, end] : cover.runs) {
        if (replaces) {
          for (float* px = pixel(begin, j); px != pixel(end, j); px += 4) std::copy(opaque, opaque + 4, px);
        } else {
          for (int64_t i = begin; i < end; ++i) shade(pixel(i, j));
        }
      }
    }
    return;
  }
  for (int64_t j = y0; j < y1; ++j) {
    const double qy = (j + 0.5) * dsy - p.py;
    for (int64_t i = x0; i < x1; ++i) {
      const double qx = (i + 0.5) * dsx - p.px;
      if (inside_solid(p, w, h, qx, qy)) shade(pixel(i, j));
    }
  }
}

}  // namespace

uint8_t to_8bit(double v) {
  if (!(v > 0.0)) return 0;
  // Half away from zero, as std::round, without its library call: every
  // pixel channel of every stand-in frame comes through here.
  const double r = v * 255.0 + 0.5;
  return r >= 255.0 ? 255 : static_cast<uint8_t>(r);
}

uint16_t to_16bit(double v) {
  if (!(v > 0.0)) return 0;
  double r = std::round(v * 32768.0);
  return r >= 32768.0 ? 32768 : static_cast<uint16_t>(r);
}

int32_t downsampled_side(int32_t side, int32_t factor) {
  if (factor < 1) factor = 1;
  if (side < 1) return 1;
  return static_cast<int32_t>((static_cast<int64_t>(side) + factor - 1) / factor);
}

bool layer_visible_at(const Layer& layer, HostTime t) {
  if (!layer.enabled || !layer.solid) return false;
  if (compare_times(t, layer.in_point) < 0) return false;
  // t < in + duration  <=>  t - in < duration, in exact integers.
  __int128 lhs = (static_cast<__int128>(t.value) * layer.in_point.scale -
                  static_cast<__int128>(layer.in_point.value) * t.scale) *
                 layer.duration.scale;
  __int128 rhs = static_cast<__int128>(layer.duration.value) * t.scale * layer.in_point.scale;
  return lhs < rhs;
}

Result<RenderedFrame> render_composition(const Composition& comp, const RenderRequest& req) {
  if (req.depth != 8 && req.depth != 16 && req.depth != 32) {
    return fail("render: unsupported depth " + std::to_string(req.depth));
  }
  if (req.time.scale == 0) return fail("render: time scale 0");
  const int32_t dsx = std::max(req.downsample_x, 1), dsy = std::max(req.downsample_y, 1);
  RenderedFrame frame;
  frame.width = downsampled_side(comp.width, dsx);
  frame.height = downsampled_side(comp.height, dsy);
  if (comp.width <= 0 || comp.height <= 0 ||
      static_cast<uint64_t>(frame.width) * static_cast<uint64_t>(frame.height) > kMaxRenderPixels) {
    return fail("render: frame size " + std::to_string(comp.width) + "x" + std::to_string(comp.height));
  }
  frame.rgba.assign(static_cast<size_t>(frame.width) * frame.height * 4, 0.0f);

  const double t = req.time.seconds();
  SeparableCoverage cover;
  for (auto it = comp.layers.rbegin(); it != comp.layers.rend(); ++it) {
    if (!layer_visible_at(*it, req.time)) continue;
    draw_solid(frame, *it->solid, place(*it, t), blend_for_mode(it->transfer_mode), dsx, dsy, req.depth,
               req.per_pixel_coverage, cover);
  }
  return frame;
}

}  // namespace sim
