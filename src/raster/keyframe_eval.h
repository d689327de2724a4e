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

// The eased progress over a Bezier segment: the fraction of `delta` reached
// at linear progress `u` (clamped to 0..1). Linear (the clamped `u`) when an
// ease is missing, `dt` is not a positive finite duration, or the change is
// not finite or below 1e-12. Not clamped: a fast ease overshoots.
double temporal_ease(const std::optional<TemporalEase>& ease_out, const std::optional<TemporalEase>& ease_in,
                     double dt, double delta, double u);

// The easing curve through (0, 0), (x1, y1), (x2, y2), (1, 1) at abscissa
// `u`: at most 8 Newton steps on the curve parameter, then, when those did
// not land within 1e-4, 32 bisection steps.
double solve_ease_bezier(double x1, double y1, double x2, double y2, double u);

}  // namespace vel
