// The value of a transform property at a composition time, as the host's own
// renderer evaluates it: linear, hold and Bezier segments with temporal ease.
// Pure functions; no allocation.
#pragma once

#include "project/project_model.h"

namespace sim {

// Keyframe times are composition times in seconds. Before the first key the
// first value holds, from the last key on the last value.
Vec3 property_value_at(const Property& prop, double t);

// Fraction of a segment's change reached at linear progress u (0..1) under
// the two temporal eases. A side without ease data, or a linear side, leaves
// that end straight; dt is the segment's length in seconds and delta its
// change (signed for one component, the distance for several).
double eased_progress(const std::optional<Ease>& leaving, bool leaving_eased,
                      const std::optional<Ease>& arriving, bool arriving_eased,
                      double dt, double delta, double u);

// The y of the cubic through (0,0), (x1,y1), (x2,y2), (1,1) at abscissa x,
// for control abscissas in 0..1 (the curve's x then only grows).
double cubic_ease_y(double x1, double y1, double x2, double y2, double x);

}  // namespace sim
