#include "project/keyframe_eval.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

Keyframe key(double seconds, Vec3 v, Interp interp, std::optional<Ease> in = {}, std::optional<Ease> out = {}) {
  Keyframe k;
  k.time = HostTime{static_cast<int32_t>(seconds * 1000), 1000};
  k.value = v;
  k.in_interp = k.out_interp = interp;
  k.ease_in = in;
  k.ease_out = out;
  return k;
}

Property scalar(std::vector<Keyframe> keys) { return Property{1, {0, 0, 0}, std::move(keys)}; }
Property pair(std::vector<Keyframe> keys) { return Property{3, {0, 0, 0}, std::move(keys)}; }

const Ease kEaseStill{0.0, 100.0 / 3.0};

struct ScalarCase {
  const char* what;
  Property prop;
  double t;
  double want;
};

TEST(KeyframeEval, ScalarValues) {
  Property linear = scalar({key(0, {0}, Interp::linear), key(1, {100}, Interp::linear)});
  Property hold = scalar({key(0, {10}, Interp::hold), key(1, {20}, Interp::hold)});
  // Speed 0 with a third of influence on both sides is the smoothstep curve
  // 3u² − 2u³, since the curve's abscissa is then exactly u.
  Property eased = scalar({key(0, {0}, Interp::bezier, kEaseStill, kEaseStill),
                           key(1, {100}, Interp::bezier, kEaseStill, kEaseStill)});
  // Speeds equal to the average speed (here negative: the value falls) keep
  // the segment straight.
  Ease falling{-100.0, 50.0};
  Property straight = scalar({key(0, {100}, Interp::bezier, falling, falling),
                              key(1, {0}, Interp::bezier, falling, falling)});
  Property one = scalar({key(2, {7}, Interp::linear)});
  Property unmoving = scalar({key(0, {5}, Interp::bezier, kEaseStill, Ease{30, 80}),
                              key(1, {5}, Interp::bezier, Ease{-9, 10}, kEaseStill)});
  Property out_hold = scalar({key(0, {1}, Interp::linear), key(1, {2}, Interp::linear)});
  out_hold.keys[0].out_interp = Interp::hold;

  const ScalarCase cases[] = {
      {"before the first key", linear, -1.0, 0.0},
      {"linear inside", linear, 0.25, 25.0},
      {"at the last key", linear, 1.0, 100.0},
      {"after the last key", linear, 5.0, 100.0},
      {"hold keeps the value to the end of the segment", hold, 0.999, 10.0},
      {"hold jumps at the next key", hold, 1.0, 20.0},
      {"ease at a quarter", eased, 0.25, 100 * (3 * 0.0625 - 2 * 0.015625)},
      {"ease at the middle", eased, 0.5, 50.0},
      {"speed at the average speed is straight", straight, 0.25, 75.0},
      {"a single key holds everywhere", one, -3.0, 7.0},
      {"equal values never move, whatever the ease", unmoving, 0.4, 5.0},
      {"an outgoing hold holds the segment", out_hold, 0.7, 1.0},
  };
  for (const ScalarCase& c : cases) {
    EXPECT_NEAR(property_value_at(c.prop, c.t)[0], c.want, 1e-9) << c.what;
  }
}

TEST(KeyframeEval, StaticPropertyReturnsItsValue) {
  Property p{3, {1, 2, 3}, {}};
  EXPECT_EQ(property_value_at(p, 12.0), (Vec3{1, 2, 3}));
}

TEST(KeyframeEval, PairEaseUsesTheDistanceAndKeepsTheStraightPath) {
  // (0,0) -> (300,400): a distance of 500 in one second.
  Property still = pair({key(0, {0, 0, 0}, Interp::bezier, kEaseStill, kEaseStill),
                         key(1, {300, 400, 0}, Interp::bezier, kEaseStill, kEaseStill)});
  Vec3 v = property_value_at(still, 0.25);
  const double f = 3 * 0.0625 - 2 * 0.015625;
  EXPECT_NEAR(v[0], 300 * f, 1e-9);
  EXPECT_NEAR(v[1], 400 * f, 1e-9);

  // A speed of 500 units/s is the segment's average speed only when measured
  // along the path, not along one axis: the motion then stays linear.
  Ease average{500.0, 40.0};
  Property cruising = pair({key(0, {0, 0, 0}, Interp::bezier, average, average),
                            key(1, {300, 400, 0}, Interp::bezier, average, average)});
  v = property_value_at(cruising, 0.25);
  EXPECT_NEAR(v[0], 75.0, 1e-9);
  EXPECT_NEAR(v[1], 100.0, 1e-9);
}

TEST(KeyframeEval, EaseHandlesClampAndFallBack) {
  struct Case {
    const char* what;
    std::optional<Ease> out, in;
    double u;
    double want;
  };
  const double smooth = 3 * 0.09 - 2 * 0.027;  // smoothstep at 0.3
  const Case cases[] = {
      {"influence above 100 acts as 100", Ease{0, 250}, Ease{0, 100}, 0.3,
       eased_progress(Ease{0, 100}, true, Ease{0, 100}, true, 1, 1, 0.3)},
      {"missing ease data on both sides is linear", std::nullopt, std::nullopt, 0.3, 0.3},
      {"progress is clamped below", kEaseStill, kEaseStill, -0.5, 0.0},
      {"progress is clamped above", kEaseStill, kEaseStill, 1.5, 1.0},
      {"the symmetric ease", kEaseStill, kEaseStill, 0.3, smooth},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(eased_progress(c.out, true, c.in, true, 1.0, 1.0, c.u), c.want, 1e-9) << c.what;
  }
}

TEST(KeyframeEval, OvershootingSpeedIsNotClamped) {
  // Leaving at three times the average speed over half the segment rises
  // above the straight line early on.
  double p = eased_progress(Ease{3.0, 50.0}, true, Ease{3.0, 50.0}, true, 1.0, 1.0, 0.2);
  EXPECT_GT(p, 0.4);
}

}  // namespace
}  // namespace sim
