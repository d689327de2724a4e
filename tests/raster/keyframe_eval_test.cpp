// Keyframe evaluation and the temporal ease: the documented values, the
// fallbacks of degenerate lists, and the solver's two stages.
#include <gtest/gtest.h>

#include <cmath>

#include "raster/keyframe_eval.h"
#include "raster/prepared_value.h"

namespace vel {
namespace {

using Key = Keyframe<double>;
constexpr auto kLinear = Interpolation::Linear;
constexpr auto kBezier = Interpolation::Bezier;
constexpr auto kHold = Interpolation::Hold;

TemporalEase ease(double speed, double influence) { return {speed, influence}; }

AnimatedScalar keys(std::vector<Key> k) { return AnimatedScalar::keyed(std::move(k)); }

TEST(KeyframeEval, ScalarTable) {
  const AnimatedScalar three = keys({{0, 0, kLinear}, {1, 10, kHold}, {2, 20, kLinear}, {3, 40, kLinear}});
  struct Case {
    const char* what;
    AnimatedScalar value;
    double t;
    double want;
  } cases[] = {
      {"static", AnimatedScalar::constant(7), 99, 7},
      {"empty list", keys({}), 1, 0},
      {"one key", keys({{5, 3, kLinear}}), -100, 3},
      {"before the first", three, -1, 0},
      {"linear middle", three, 0.25, 2.5},
      {"inner key exactly", three, 1, 10},
      {"hold until the next key", three, 1.999, 10},
      {"hold ends at the next key", three, 2, 20},
      {"at the last key", three, 3, 40},
      {"after the last key", three, 30, 40},
      // Two keys at one time: the segment that starts at the second applies.
      {"same-time keys", keys({{0, 0, kLinear}, {1, 5, kLinear}, {1, 9, kLinear}, {2, 19, kLinear}}), 1, 9},
      // A time in no ordered segment falls back to the last key in list order.
      {"out of order", keys({{0, 0, kLinear}, {2, 10, kLinear}, {1, 30, kLinear}}), 1.5, 30},
      // Eased with equal values: no change, so linear and constant.
      {"bezier without change", keys({{0, 4, kBezier, ease(0, 90), ease(50, 90)}, {1, 4, kBezier, ease(0, 9), ease(0, 9)}}), 0.3, 4},
      {"bezier without eases is linear", keys({{0, 0, kBezier}, {2, 10, kLinear}}), 0.5, 2.5},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(eval_animated_scalar(c.value, c.t), c.want) << c.what;
}

TEST(TemporalEase, Table) {
  struct Case {
    const char* what;
    TemporalEase out, in;
    double dt, delta, u, want, tolerance;
  } cases[] = {
      {"symmetric ease at the middle", ease(0, 33.33), ease(0, 33.33), 1, 10, 0.5, 0.5, 1e-9},
      {"symmetric ease at the start", ease(0, 33.33), ease(0, 33.33), 1, 10, 0, 0, 1e-12},
      {"symmetric ease at the end", ease(0, 33.33), ease(0, 33.33), 1, 10, 1, 1, 1e-12},
      {"u clamped below", ease(0, 50), ease(0, 50), 1, 10, -3, 0, 1e-12},
      {"u clamped above", ease(0, 50), ease(0, 50), 1, 10, 4, 1, 1e-12},
      // Average speed on both sides with one third influence is a straight line.
      {"average speed stays linear", ease(10, 100.0 / 3), ease(10, 100.0 / 3), 1, 10, 0.3, 0.3, 1e-4},
      {"zero duration is linear", ease(0, 50), ease(0, 50), 0, 10, 0.25, 0.25, 0},
      {"no change is linear", ease(0, 50), ease(0, 50), 1, 1e-13, 0.25, 0.25, 0},
      {"infinite change is linear", ease(0, 50), ease(0, 50), 1, INFINITY, 0.25, 0.25, 0},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(temporal_ease(c.out, c.in, c.dt, c.delta, c.u), c.want, c.tolerance) << c.what;
  }
  EXPECT_EQ(temporal_ease(std::nullopt, std::nullopt, 1, 10, 0.25), 0.25);
  // A straight side keeps its handle on the line, a sixth of the way along,
  // while the other end follows its own ease.
  constexpr double k6 = 1.0 / 6.0;
  EXPECT_EQ(temporal_ease(std::nullopt, ease(0, 50), 1, 10, 0.25), solve_ease_bezier(k6, k6, 0.5, 1, 0.25));
  EXPECT_EQ(temporal_ease(ease(0, 50), std::nullopt, 1, 10, 0.25), solve_ease_bezier(0.5, 0, 1 - k6, 1 - k6, 0.25));
}

// Each side of a key as the host reads it: the segment leaves as the first
// key's outgoing side says and arrives as the second key's incoming side
// says, each eased end on its own ease. The prepared value agrees.
TEST(KeyframeEval, EachSideOfAKeyCounts) {
  constexpr double k6 = 1.0 / 6.0;
  auto sided = [](double t, double v, Interpolation in, Interpolation out, std::optional<TemporalEase> e = {}) {
    return Key{t, v, kLinear, e, e, KeySides{in, out}};
  };
  const double eased_end = 10 * solve_ease_bezier(k6, k6, 0.5, 1, 0.5);
  const double eased_start = 10 * solve_ease_bezier(0.5, 0, 1 - k6, 1 - k6, 0.5);
  struct Case {
    const char* what;
    AnimatedScalar value;
    double want;
  } cases[] = {
      {"held in, linear out moves", keys({sided(0, 0, kHold, kLinear), sided(1, 10, kLinear, kLinear)}), 5},
      {"linear in, held out holds", keys({sided(0, 0, kLinear, kHold), sided(1, 10, kLinear, kLinear)}), 0},
      {"linear into an eased key eases its end",
       keys({sided(0, 0, kLinear, kLinear), sided(1, 10, kBezier, kBezier, ease(0, 50))}), eased_end},
      {"eased key into a linear key eases its start",
       keys({sided(0, 0, kBezier, kBezier, ease(0, 50)), sided(1, 10, kLinear, kLinear)}), eased_start},
      {"eased key into a held key eases its start",
       keys({sided(0, 0, kBezier, kBezier, ease(0, 50)), sided(1, 10, kHold, kHold)}), eased_start},
      {"an eased side that is not the segment's does not count",
       keys({sided(0, 0, kBezier, kLinear, ease(0, 50)), sided(1, 10, kLinear, kBezier, ease(0, 50))}), 5},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(eval_animated_scalar(c.value, 0.5), c.want, 1e-9) << c.what;
    auto prepared = prepare_animated_scalar(c.value);
    ASSERT_TRUE(prepared.ok()) << c.what;
    EXPECT_EQ(eval_prepared_scalar(prepared.value(), 0.5), eval_animated_scalar(c.value, 0.5)) << c.what;
  }
}

TEST(TemporalEase, InfluenceIsClampedToItsRange) {
  EXPECT_EQ(temporal_ease(ease(0, 150), ease(0, 150), 1, 10, 0.3), temporal_ease(ease(0, 100), ease(0, 100), 1, 10, 0.3));
  EXPECT_EQ(temporal_ease(ease(0, -20), ease(0, -20), 1, 10, 0.3), temporal_ease(ease(0, 0), ease(0, 0), 1, 10, 0.3));
}

TEST(TemporalEase, FastEaseOvershoots) {
  // Leaving at five times the average speed: past the middle early.
  EXPECT_GT(temporal_ease(ease(50, 80), ease(0, 10), 1, 10, 0.3), 1.0);
}

TEST(SolveEaseBezier, NewtonLandsOnTheCurve) {
  const double x1 = 0.42, y1 = 0.1, x2 = 0.58, y2 = 0.9;
  for (double u : {0.05, 0.3, 0.5, 0.77, 0.99}) {
    const double y = solve_ease_bezier(x1, y1, x2, y2, u);
    // The same curve solved by plain bisection to double precision.
    double lo = 0, hi = 1;
    auto X = [&](double s) { return 3 * s * (1 - s) * (1 - s) * x1 + 3 * s * s * (1 - s) * x2 + s * s * s; };
    auto Y = [&](double s) { return 3 * s * (1 - s) * (1 - s) * y1 + 3 * s * s * (1 - s) * y2 + s * s * s; };
    for (int i = 0; i < 60; ++i) (X((lo + hi) / 2) < u ? lo : hi) = (lo + hi) / 2;
    EXPECT_NEAR(y, Y(lo), 1e-6) << u;
  }
}

TEST(SolveEaseBezier, NewtonThatMissesFallsBackToBisection) {
  // Control abscissas outside 0..1 fold the curve back: the 8 clamped Newton
  // steps stay far from u = 0.9, so 32 bisection steps give the answer.
  const double x1 = 0, y1 = 0.25, x2 = 2, y2 = 0.75, u = 0.9;
  auto X = [&](double s) { return 3 * s * (1 - s) * (1 - s) * x1 + 3 * s * s * (1 - s) * x2 + s * s * s; };
  auto Y = [&](double s) { return 3 * s * (1 - s) * (1 - s) * y1 + 3 * s * s * (1 - s) * y2 + s * s * s; };
  double lo = 0, hi = 1, mid = 0;
  for (int i = 0; i < 32; ++i) {
    mid = (lo + hi) / 2;
    (X(mid) < u ? lo : hi) = mid;
  }
  EXPECT_NEAR(solve_ease_bezier(x1, y1, x2, y2, u), Y(mid), 1e-12);
}

TEST(SolveEaseBezier, FlatSlopeSkipsNewton) {
  // X'(1) = 0 when x2 = 1: no Newton step, s stays at u and is accepted.
  EXPECT_NEAR(solve_ease_bezier(0.3, 0.25, 1, 0.75, 1.0), 1.0, 1e-12);
  EXPECT_NEAR(solve_ease_bezier(0, 0.4, 0.5, 0.75, 0.0), 0.0, 1e-12);
}

TEST(KeyframeEval, PairMovesOnTheStraightLine) {
  AnimatedVec2 v = AnimatedVec2::keyed({{0, {0, 0}, kBezier, ease(0, 60), ease(0, 60)},
                                        {1, {30, 40}, kBezier, ease(0, 60), ease(0, 60)}});
  for (double t : {0.1, 0.4, 0.8}) {
    const Vec2 p = eval_animated_vec2(v, t);
    EXPECT_NEAR(p.x * 4, p.y * 3, 1e-9) << t;  // on the line y = 4/3 x
  }
  EXPECT_LT(eval_animated_vec2(v, 0.1).x, 3.0);  // eased: slower than linear at the start
}

// Every list the prepared path accepts evaluates to the same bits as the
// direct evaluators, at keys, inside segments and outside the keys.
TEST(PreparedValue, AgreesWithDirectEvaluation) {
  const AnimatedScalar value = keys({{0, 0, kBezier, ease(0, 33), ease(5, 70)},
                                     {0.8, 20, kLinear},
                                     {1.5, 5, kHold},
                                     {2, 50, kBezier, ease(-3, 20), ease(0, 40)},
                                     {3, -10, kBezier, ease(2, 90), ease(0, 10)}});
  auto prepared = prepare_animated_scalar(value);
  ASSERT_TRUE(prepared.ok());
  for (double t = -0.5; t <= 3.5; t += 1.0 / 64) {
    EXPECT_EQ(eval_prepared_scalar(prepared.value(), t), eval_animated_scalar(value, t)) << t;
  }
}

TEST(PreparedValue, RefusedAndCollapsedLists) {
  const std::string invalid = "invalid animation values or keyframe order";
  struct Case {
    const char* what;
    AnimatedScalar value;
  } refused[] = {
      {"empty", keys({})},
      {"same time", keys({{1, 0, kLinear}, {1, 5, kLinear}})},
      {"out of order", keys({{2, 0, kLinear}, {1, 5, kLinear}})},
      {"non-finite value", keys({{0, NAN, kLinear}, {1, 5, kLinear}})},
      {"non-finite static", AnimatedScalar::constant(INFINITY)},
      {"non-finite ease on a linear key", keys({{0, 0, kLinear, ease(NAN, 10), ease(0, 10)}, {1, 5, kLinear}})},
      {"segment too long", keys({{-1.7e308, 0, kLinear}, {1.7e308, 5, kLinear}})},
  };
  for (const Case& c : refused) {
    auto p = prepare_animated_scalar(c.value);
    ASSERT_FALSE(p.ok()) << c.what;
    EXPECT_EQ(p.error(), invalid) << c.what;
  }
  auto same = prepare_animated_scalar(keys({{0, 5, kLinear}, {1, 5, kBezier}, {2, 5, kHold}}));
  ASSERT_TRUE(same.ok());
  EXPECT_TRUE(same.value().is_static);
  EXPECT_EQ(same.value().value, 5);
  auto tiny = prepare_animated_vec2(AnimatedVec2::keyed({{0, {0, 0}, kBezier, ease(0, 50), ease(0, 50)},
                                                         {1, {1e-13, 0}, kBezier, ease(0, 50), ease(0, 50)}}));
  ASSERT_TRUE(tiny.ok());
  EXPECT_EQ(tiny.value().segments.at(0).kind, SegmentKind::Linear);
  auto no_ease = prepare_animated_scalar(keys({{0, 0, kBezier}, {1, 5, kLinear}}));
  ASSERT_TRUE(no_ease.ok());
  EXPECT_EQ(no_ease.value().segments.at(0).kind, SegmentKind::Linear);
}

}  // namespace
}  // namespace vel
