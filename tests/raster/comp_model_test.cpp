// The comp model's names and the rules that turn what the host reported
// about a property into an animated value.
#include <gtest/gtest.h>

#include <cmath>

#include "raster/comp_model.h"
#include "raster/layer_stream.h"

namespace vel {
namespace {

TEST(CompModel, BlendModeNames) {
  const struct {
    int32_t mode;
    const char* name;
  } cases[] = {{0, "copy"},         {2, "normal"},        {12, "difference"}, {26, "difference"},
               {21, "luminescent_premul"}, {38, "divide"}, {39, "xfer_39"},    {-1, "xfer_-1"},
               {INT32_MIN, "xfer_-2147483648"}};
  for (const auto& c : cases) EXPECT_EQ(blend_mode_name(c.mode), c.name) << c.mode;
}

TEST(CompModel, KeyInterpolationFromBothSides) {
  // 1 linear, 2 bezier, 3 hold, anything else unknown.
  const struct {
    int32_t in, out;
    Interpolation expect;
  } cases[] = {
      {1, 1, Interpolation::Linear}, {2, 2, Interpolation::Bezier}, {3, 3, Interpolation::Hold},
      {1, 3, Interpolation::Hold},   {3, 2, Interpolation::Hold},   {1, 2, Interpolation::Bezier},
      {2, 1, Interpolation::Bezier}, {2, 3, Interpolation::Hold},   {0, 0, Interpolation::Linear},
      {0, 2, Interpolation::Bezier}, {9, 3, Interpolation::Hold},   {3, 0, Interpolation::Hold},
  };
  for (const auto& c : cases) EXPECT_EQ(key_interpolation(c.in, c.out), c.expect) << c.in << "/" << c.out;
}

StreamValue value(StreamKind kind, double a, double b = 0, double c = 0) { return {kind, {a, b, c, 0}}; }

RawKeyframe key(double t, StreamValue v, Interpolation i = Interpolation::Linear) {
  RawKeyframe k;
  k.t = t;
  k.value = v;
  k.interp = i;
  return k;
}

TEST(CompModel, TwoDimensionalCaptures) {
  using Texts = std::vector<std::string>;
  const double nan = std::nan("");
  const struct {
    const char* label;
    StreamCapture capture;
    double neutral_z;
    AnimatedVec2 expect;
    Texts texts;
  } cases[] = {
      {"2-D layer position", value(StreamKind::ThreeDSpatial, 3, 4, 0), 0, AnimatedVec2::constant({3, 4}), {}},
      {"z off neutral", value(StreamKind::ThreeDSpatial, 3, 4, 10), 0, AnimatedVec2::constant({3, 4}), {"p_z(10)"}},
      {"NaN z", value(StreamKind::ThreeD, 3, 4, nan), 100, AnimatedVec2::constant({3, 4}), {"p_z(NaN)"}},
      {"scale at 100", value(StreamKind::ThreeD, 50, 50, 100), 100, AnimatedVec2::constant({50, 50}), {}},
      {"two components", value(StreamKind::TwoD, 7, 8), 0, AnimatedVec2::constant({7, 8}), {}},
      {"wrong kind", value(StreamKind::Color, 1, 1, 1), 0, AnimatedVec2::constant({0, 0}), {"p_value_type"}},
      {"failed", StreamFailed{}, 0, AnimatedVec2::constant({0, 0}), {}},
      {"keys",
       std::vector<RawKeyframe>{key(0, value(StreamKind::ThreeD, 1, 2, 50)), key(1, value(StreamKind::OneD, 9)),
                                key(2, value(StreamKind::TwoDSpatial, 5, 6), Interpolation::Hold),
                                key(3, value(StreamKind::ThreeD, 7, 8, 50))},
       100,
       AnimatedVec2::keyed({{0, {1, 2}}, {2, {5, 6}, Interpolation::Hold}, {3, {7, 8}}}),
       {"p_z_kf(50)", "p_kf_value_type", "p_z_kf(50)"}},
      {"no key kept", std::vector<RawKeyframe>{key(0, value(StreamKind::Mask, 0))}, 0, AnimatedVec2::keyed({}),
       {"p_kf_value_type"}},
  };
  for (const auto& c : cases) {
    Texts texts;
    EXPECT_EQ(vec2_from_capture(c.capture, "p", c.neutral_z, texts), c.expect) << c.label;
    EXPECT_EQ(texts, c.texts) << c.label;
  }
}

TEST(CompModel, ScalarCapturesKeepEasesOfBezierKeys) {
  std::vector<std::string> texts;
  RawKeyframe eased = key(0.5, value(StreamKind::OneD, 45), Interpolation::Bezier);
  eased.ease_in = TemporalEase{0, 33.3};
  eased.ease_out = TemporalEase{12, 75};
  auto keyed = scalar_from_capture(std::vector<RawKeyframe>{eased, key(1, value(StreamKind::TwoD, 1, 2))}, "r", texts);
  ASSERT_NE(keyed.as_keys(), nullptr);
  ASSERT_EQ(keyed.as_keys()->size(), 1u);
  const Keyframe<double>& k = keyed.as_keys()->front();
  EXPECT_EQ(k.t, 0.5);
  EXPECT_EQ(k.v, 45);
  EXPECT_EQ(k.ease_in, (TemporalEase{0, 33.3}));
  EXPECT_EQ(k.ease_out, (TemporalEase{12, 75}));
  EXPECT_EQ(texts, (std::vector<std::string>{"r_kf_value_type"}));

  texts.clear();
  EXPECT_EQ(scalar_from_capture(value(StreamKind::OneD, 85), "o", texts), AnimatedScalar::constant(85));
  EXPECT_EQ(scalar_from_capture(value(StreamKind::ThreeD, 1, 2, 3), "o", texts), AnimatedScalar::constant(0));
  EXPECT_EQ(scalar_from_capture(StreamFailed{}, "o", texts), AnimatedScalar::constant(0));
  EXPECT_EQ(texts, (std::vector<std::string>{"o_value_type"}));
}

}  // namespace
}  // namespace vel
