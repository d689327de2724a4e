#include "raster/keyframe_eval.h"
#include "raster/value_math.h"

#include <algorithm>
#include <cmath>

namespace vel {
namespace {

double cubic(double p1, double p2, double s) {
  const double r = 1.0 - s;
  return s * s * s + 3.0 * s * r * r * p1 + 3.0 * s * s * r * p2;
}

double cubic_slope(double p1, double p2, double s) {
  const double r = 1.0 - s;
  return 3.0 * r * r * p1 + 6.0 * s * r * (p2 - p1) + 3.0 * s * s * (1.0 - p2);
}

template <class T>
T eval_keys(const AnimatedValue<T>& value, double t) {
  if (const auto* fixed = value.as_static()) return fixed->value;
  const auto& keys = *value.as_keys();
  const size_t n = keys.size();
  if (n == 0) return T{};
  if (t <= keys.front().t) return keys.front().v;
  if (t >= keys.back().t || n == 1) return keys.back().v;
  // A linear scan in list order: a list out of time order matches no segment
  // somewhere and then gives the last value, as the host's reading does.
  for (size_t k = 0; k + 1 < n; ++k) {
    const Keyframe<T>& a = keys[k];
    const Keyframe<T>& b = keys[k + 1];
    if (!(a.t <= t && t < b.t)) continue;
    const double dt = b.t - a.t;
    // The segment leaves as the first key's outgoing side says: held, or
    // moving with each end shaped by its own side.
    const Interpolation leaves = out_side(a);
    if (leaves != Interpolation::Linear && leaves != Interpolation::Bezier) return a.v;
    if (!(dt > 0)) return a.v;
    const double u = (t - a.t) / dt;
    return lerp_value(a.v, b.v, temporal_ease(leaving_ease(a), arriving_ease(b), dt, change_of(a.v, b.v), u));
  }
  return keys.back().v;
}

}  // namespace

double solve_ease_bezier(double x1, double y1, double x2, double y2, double u) {
  double s = u;
  for (int step = 0; step < 8; ++step) {
    const double d = cubic_slope(x1, x2, s);
    if (std::fabs(d) < 1e-9) break;
    s = std::clamp(s - (cubic(x1, x2, s) - u) / d, 0.0, 1.0);
  }
  const double miss = std::fabs(cubic(x1, x2, s) - u);
  if (!(miss > 1e-4)) return cubic(y1, y2, s);  // a NaN miss is accepted too
  double lo = 0.0, hi = 1.0, mid = 0.5;
  for (int step = 0; step < 32; ++step) {
    mid = (lo + hi) / 2.0;
    if (cubic(x1, x2, mid) < u) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return cubic(y1, y2, mid);
}

std::optional<EaseCurve> ease_curve(const std::optional<TemporalEase>& leaving,
                                    const std::optional<TemporalEase>& arriving, double dt, double delta) {
  if ((!leaving && !arriving) || !std::isfinite(dt) || dt <= 0 || !std::isfinite(delta) ||
      std::fabs(delta) < 1e-12) {
    return std::nullopt;
  }
  // A straight side leaves at the segment's average speed: its handle lies on
  // the line, a sixth of the way along.
  constexpr double kStraight = 1.0 / 6.0;
  EaseCurve c{kStraight, kStraight, 1.0 - kStraight, 1.0 - kStraight};
  if (leaving) {
    c.x1 = std::clamp(leaving->influence / 100.0, 0.0, 1.0);
    c.y1 = (dt * leaving->speed / delta) * c.x1;
  }
  if (arriving) {
    c.x2 = 1.0 - std::clamp(arriving->influence / 100.0, 0.0, 1.0);
    c.y2 = 1.0 - (dt * arriving->speed / delta) * (1.0 - c.x2);
  }
  return c;
}

double temporal_ease(const std::optional<TemporalEase>& leaving, const std::optional<TemporalEase>& arriving,
                     double dt, double delta, double u) {
  u = std::clamp(u, 0.0, 1.0);
  const auto c = ease_curve(leaving, arriving, dt, delta);
  return c ? solve_ease_bezier(c->x1, c->y1, c->x2, c->y2, u) : u;
}

double eval_animated_scalar(const AnimatedScalar& value, double t) { return eval_keys(value, t); }
Vec2 eval_animated_vec2(const AnimatedVec2& value, double t) { return eval_keys(value, t); }

}  // namespace vel
