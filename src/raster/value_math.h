// The arithmetic both keyframe evaluators share, so that a prepared value and
// the direct evaluation give the same bits.
#pragma once

#include <cmath>

#include "raster/comp_model.h"

namespace vel {

inline double lerp_value(double a, double b, double f) { return a + (b - a) * f; }
inline Vec2 lerp_value(Vec2 a, Vec2 b, double f) { return {lerp_value(a.x, b.x, f), lerp_value(a.y, b.y, f)}; }

// The change over a segment: a scalar's signed difference, a pair's
// straight-line distance (never negative, both components move alike).
inline double change_of(double a, double b) { return b - a; }
inline double change_of(Vec2 a, Vec2 b) {
  const double dx = b.x - a.x, dy = b.y - a.y;
  return std::sqrt(dx * dx + dy * dy);
}

}  // namespace vel
