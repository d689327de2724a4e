// The value of an animated transform property at one composition time:
// linear, eased Bezier (the host's temporal ease: a speed and an influence on
// each side of a key) or hold segments. No spatial interpolation: a 2-D value
// moves on the straight line between two keys and the ease only says how far
// along it is. Pure functions, no allocation; any thread.
#pragma once

#include <optional>

#include "raster/comp_model.h"

namespace vel {

// The value at `t` seconds. Degenerate lists fall back instead of failing:
// no keys give 0, keys out of time order give the last key's value, a
// segment of no duration gives its first key's value.
double eval_animated_scalar(const AnimatedScalar& value, double t);
Vec2 eval_animated_vec2(const AnimatedVec2& value, double t);

// The eased progress over a segment: the fraction of `delta` reached at
// linear progress `u` (clamped to 0..1). `leaving` is the first key's ease
// when its outgoing side is bezier, `arriving` the second key's when its
// incoming side is; an absent one is a straight side, whose handle lies on
// the segment's line at a sixth of it, as the host draws a linear side next
// to an eased one. Straight on both sides, or with `dt` not a positive finite
// duration, or a change not finite or below 1e-12: the clamped `u`. Not
// clamped: a fast ease overshoots.
double temporal_ease(const std::optional<TemporalEase>& leaving, const std::optional<TemporalEase>& arriving,
                     double dt, double delta, double u);

// The control points of that curve, or nothing where the segment is
// straight. y1 and y2 are not clamped and may be non-finite.
struct EaseCurve {
  double x1, y1, x2, y2;
};
std::optional<EaseCurve> ease_curve(const std::optional<TemporalEase>& leaving,
                                    const std::optional<TemporalEase>& arriving, double dt, double delta);

// The eases that shape the segment from `a` to `b`: each side's own, when
// that side is bezier.
template <class T>
const std::optional<TemporalEase>& leaving_ease(const Keyframe<T>& a) {
  static const std::optional<TemporalEase> straight;
  return out_side(a) == Interpolation::Bezier ? a.ease_out : straight;
}
template <class T>
const std::optional<TemporalEase>& arriving_ease(const Keyframe<T>& b) {
  static const std::optional<TemporalEase> straight;
  return in_side(b) == Interpolation::Bezier ? b.ease_in : straight;
}

// The easing curve through (0, 0), (x1, y1), (x2, y2), (1, 1) at abscissa
// `u`: at most 8 Newton steps on the curve parameter, then, when those did
// not land within 1e-4, 32 bisection steps.
double solve_ease_bezier(double x1, double y1, double x2, double y2, double u);

}  // namespace vel
