#include "project/keyframe_eval.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

// One coordinate of the cubic Bezier with end points 0 and 1.
double bezier_coord(double p1, double p2, double s) {
  double r = 1.0 - s;
  return 3.0 * r * r * s * p1 + 3.0 * r * s * s * p2 + s * s * s;
}

// A linear side of a Bezier segment: its handle lies on the straight line at
// a sixth of the segment, which leaves that end at the average speed.
constexpr double kStraightHandle = 1.0 / 6.0;

}  // namespace

double cubic_ease_y(double x1, double y1, double x2, double y2, double x) {
  if (!(x > 0.0)) return 0.0;
  if (!(x < 1.0)) return 1.0;
  // Bisection on the curve parameter: with handles inside 0..1 the abscissa
  // rises monotonically, and 52 halvings exhaust a double's precision.
  double lo = 0.0, hi = 1.0;
  for (int i = 0; i < 52; ++i) {
    double mid = 0.5 * (lo + hi);
    if (bezier_coord(x1, x2, mid) < x) lo = mid;
    else hi = mid;
  }
  return bezier_coord(y1, y2, 0.5 * (lo + hi));
}

double eased_progress(const std::optional<Ease>& leaving, bool leaving_eased,
                      const std::optional<Ease>& arriving, bool arriving_eased,
                      double dt, double delta, double u) {
  u = std::clamp(u, 0.0, 1.0);
  if (!(dt > 0.0) || !std::isfinite(dt) || !std::isfinite(delta) || std::fabs(delta) < 1e-12) return u;
  bool ease_out = leaving_eased && leaving.has_value();
  bool ease_in = arriving_eased && arriving.has_value();
  if (!ease_out && !ease_in) return u;

  // A handle's reach along time is the influence; its rise is the speed it
  // sets, relative to the segment's average speed delta / dt.
  double x1 = kStraightHandle, y1 = kStraightHandle;
  if (ease_out) {
    x1 = std::clamp(leaving->influence / 100.0, 0.0, 1.0);
    y1 = x1 * leaving->speed * dt / delta;
  }
  double x2 = 1.0 - kStraightHandle, y2 = 1.0 - kStraightHandle;
  if (ease_in) {
    double reach = std::clamp(arriving->influence / 100.0, 0.0, 1.0);
    x2 = 1.0 - reach;
    y2 = 1.0 - reach * arriving->speed * dt / delta;
  }
  return cubic_ease_y(x1, y1, x2, y2, u);
}

Vec3 property_value_at(const Property& prop, double t) {
  const auto& keys = prop.keys;
  if (keys.empty()) return prop.fixed;
  if (t <= keys.front().time.seconds()) return keys.front().value;
  if (t >= keys.back().time.seconds()) return keys.back().value;

  // The segment [k, k+1) holding t; keys are in strictly increasing time.
  auto after = std::upper_bound(keys.begin(), keys.end(), t,
                                [](double x, const Keyframe& k) { return x < k.time.seconds(); });
  const Keyframe& a = *(after - 1);
  const Keyframe& b = *after;
  if (a.out_interp == Interp::hold) return a.value;

  double t0 = a.time.seconds();
  double dt = b.time.seconds() - t0;
  double u = dt > 0 ? (t - t0) / dt : 0.0;
  double f = u;
  bool leaving_eased = a.out_interp == Interp::bezier;
  bool arriving_eased = b.in_interp == Interp::bezier;
  if (leaving_eased || arriving_eased) {
    double delta = b.value[0] - a.value[0];
    if (prop.dims > 1) {
      double sq = 0;
      for (int i = 0; i < prop.dims; ++i) sq += (b.value[i] - a.value[i]) * (b.value[i] - a.value[i]);
      delta = std::sqrt(sq);
    }
    f = eased_progress(a.ease_out, leaving_eased, b.ease_in, arriving_eased, dt, delta, u);
  }
  Vec3 out = a.value;
  for (int i = 0; i < 3; ++i) out[i] = a.value[i] + (b.value[i] - a.value[i]) * f;
  return out;
}

}  // namespace sim
