#include "raster/prepared_value.h"

#include <algorithm>
#include <cmath>

#include "raster/keyframe_eval.h"
#include "raster/raster_eligibility.h"
#include "raster/value_math.h"

namespace vel {
namespace {

bool finite(double v) { return std::isfinite(v); }
bool finite(Vec2 v) { return std::isfinite(v.x) && std::isfinite(v.y); }
bool finite(const std::optional<TemporalEase>& e) { return !e || (std::isfinite(e->speed) && std::isfinite(e->influence)); }

// Compared as numbers: -0 equals +0.
bool same_value(double a, double b) { return a == b; }
bool same_value(Vec2 a, Vec2 b) { return a.x == b.x && a.y == b.y; }

template <class V>
Result<PreparedValue<V>> prepare(const AnimatedValue<V>& value) {
  auto invalid = [] { return err(invalid_animation_error()); };
  PreparedValue<V> out;
  if (const auto* fixed = value.as_static()) {
    if (!finite(fixed->value)) return invalid();
    out.value = fixed->value;
    return out;
  }
  const auto& keys = *value.as_keys();
  if (keys.empty()) return invalid();
  for (size_t k = 0; k < keys.size(); ++k) {
    if (!std::isfinite(keys[k].t) || !finite(keys[k].v) || !finite(keys[k].ease_in) || !finite(keys[k].ease_out)) {
      return invalid();
    }
    if (k > 0 && !(keys[k - 1].t < keys[k].t)) return invalid();
  }
  const bool all_same = std::all_of(keys.begin(), keys.end(), [&](const Keyframe<V>& k) {
    return same_value(k.v, keys.front().v);
  });
  if (all_same) {
    out.value = keys.front().v;
    return out;
  }
  out.is_static = false;
  out.last = keys.back().v;
  out.segments.reserve(keys.size() - 1);
  for (size_t k = 0; k + 1 < keys.size(); ++k) {
    const Keyframe<V>& a = keys[k];
    const Keyframe<V>& b = keys[k + 1];
    PreparedSegment<V> seg;
    seg.t_start = a.t;
    seg.t_end = b.t;
    seg.v_start = a.v;
    seg.v_end = b.v;
    const double dt = b.t - a.t;
    if (!std::isfinite(dt)) return invalid();
    const Interpolation leaves = out_side(a);
    if (leaves != Interpolation::Linear && leaves != Interpolation::Bezier) {
      seg.kind = SegmentKind::Hold;
    } else if (auto c = ease_curve(leaving_ease(a), arriving_ease(b), dt, change_of(a.v, b.v))) {
      if (!std::isfinite(c->y1) || !std::isfinite(c->y2)) return invalid();
      seg.kind = SegmentKind::Bezier;
      seg.x1 = c->x1;
      seg.y1 = c->y1;
      seg.x2 = c->x2;
      seg.y2 = c->y2;
    } else {
      seg.kind = SegmentKind::Linear;
    }
    out.segments.push_back(seg);
  }
  return out;
}

template <class V>
V eval(const PreparedValue<V>& value, double t) {
  if (value.is_static) return value.value;
  const auto& segs = value.segments;
  // The count of segments that end at or before t.
  const size_t i = static_cast<size_t>(std::upper_bound(segs.begin(), segs.end(), t,
                                                        [](double x, const PreparedSegment<V>& s) {
                                                          return x < s.t_end;
                                                        }) -
                                       segs.begin());
  if (i == segs.size()) return value.last;
  const PreparedSegment<V>& s = segs[i];
  if (t <= s.t_start || s.kind == SegmentKind::Hold) return s.v_start;
  double u = (t - s.t_start) / (s.t_end - s.t_start);
  if (s.kind == SegmentKind::Bezier) u = solve_ease_bezier(s.x1, s.y1, s.x2, s.y2, std::clamp(u, 0.0, 1.0));
  return lerp_value(s.v_start, s.v_end, u);
}

}  // namespace

Result<PreparedScalar> prepare_animated_scalar(const AnimatedScalar& value) { return prepare(value); }
Result<PreparedVec2> prepare_animated_vec2(const AnimatedVec2& value) { return prepare(value); }
double eval_prepared_scalar(const PreparedScalar& value, double t) { return eval(value, t); }
Vec2 eval_prepared_vec2(const PreparedVec2& value, double t) { return eval(value, t); }

}  // namespace vel
