// An animated property checked once and pre-digested into segments, so that
// a frame costs a binary search and at most one ease solve per property. The
// checks are stricter than the direct evaluators': a list that is empty, not
// finite or not strictly in time order is refused instead of falling back.
#pragma once

#include <vector>

#include "core/result.h"
#include "raster/comp_model.h"

namespace vel {

enum class SegmentKind : uint8_t { Hold, Linear, Bezier };

template <class V>
struct PreparedSegment {
  SegmentKind kind = SegmentKind::Linear;
  double x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // easing curve; bezier only
  double t_start = 0, t_end = 0;          // t_start < t_end
  V v_start{}, v_end{};
};

// Static, or at least one segment between keys whose values are not all equal.
template <class V>
struct PreparedValue {
  bool is_static = true;
  V value{};  // the static value
  std::vector<PreparedSegment<V>> segments;
  V last{};  // the last key's value
};

using PreparedScalar = PreparedValue<double>;
using PreparedVec2 = PreparedValue<Vec2>;

// Fails with "invalid animation values or keyframe order".
Result<PreparedScalar> prepare_animated_scalar(const AnimatedScalar& value);
Result<PreparedVec2> prepare_animated_vec2(const AnimatedVec2& value);

// Gives what eval_animated_scalar / eval_animated_vec2 give for the same
// keys at `t`.
double eval_prepared_scalar(const PreparedScalar& value, double t);
Vec2 eval_prepared_vec2(const PreparedVec2& value, double t);

}  // namespace vel
