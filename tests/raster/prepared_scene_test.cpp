// The prepared scene: what it takes and refuses, its drawing order, frame
// state equality, static ranges, and its renders against the direct ones.
#include <gtest/gtest.h>

#include <cmath>

#include "raster/prepared_scene.h"
#include "raster_test_support.h"

namespace vel::testing {
namespace {

std::shared_ptr<const PreparedScene> prepared(const CompModel& comp) {
  auto scene = prepare_raster_scene(comp);
  EXPECT_TRUE(scene.ok()) << scene.error();
  return std::make_shared<const PreparedScene>(scene ? std::move(scene).value() : PreparedScene{});
}

TEST(PrepareRasterScene, RefusalTexts) {
  LayerModel footage = solid_layer(1, {1, 1, 1}, 4, 4);
  footage.source = FootageSource{"f"};
  footage.kind = LayerKind::Av;
  LayerModel endless = solid_layer(1, {1, 1, 1}, 4, 4);
  endless.out_point = INFINITY;
  LayerModel nan_colour = solid_layer(1, {NAN, 1, 1}, 4, 4);
  LayerModel bad_keys = solid_layer(1, {1, 1, 1}, 4, 4);
  bad_keys.transform.rotation = AnimatedScalar::keyed({});
  struct Case {
    const char* what;
    CompModel comp;
    const char* want;
  } cases[] = {
      {"scene check first", comp_model(0, 4), "empty composition dimensions"},
      {"infinite out point", comp_model(4, 4, {endless}), "non-finite solid or visibility"},
      {"nan colour", comp_model(4, 4, {nan_colour}), "non-finite solid or visibility"},
      {"keys", comp_model(4, 4, {bad_keys}), "invalid animation values or keyframe order"},
  };
  for (const Case& c : cases) {
    auto s = prepare_raster_scene(c.comp);
    ASSERT_FALSE(s.ok()) << c.what;
    EXPECT_EQ(s.error(), c.want) << c.what;
  }
  // The scene check refuses a footage layer before preparation sees it.
  EXPECT_FALSE(prepare_raster_scene(comp_model(4, 4, {footage})).ok());
}

TEST(PrepareRasterScene, TakesShowableLayersBottomFirst) {
  LayerModel one = solid_layer(1, {1, 0, 0}, 4, 4);
  LayerModel two = solid_layer(2, {0, 1, 0}, 4, 4);
  LayerModel off = solid_layer(3, {0, 0, 1}, 0, 0, "soft_light");
  off.enabled = false;
  auto scene = prepared(comp_model(4, 4, {one, off, two}));
  ASSERT_EQ(scene->layers.size(), 2u);
  EXPECT_EQ(scene->layers[0].paint.green, 1.0);  // index 2 first
  EXPECT_EQ(scene->layers[1].paint.red, 1.0);

  auto empty = prepared(comp_model(6, 3, {off}));
  EXPECT_TRUE(empty->layers.empty());
  EXPECT_TRUE(scene_is_static_over(empty->layers, -5, 5));
  auto frame = render_prepared_frame(evaluate_prepared_frame(empty, 1), 1, true);
  ASSERT_TRUE(frame.ok());
  EXPECT_EQ(frame.value().pixels, std::vector<uint8_t>(6 * 3 * 4, 0));
}

TEST(EvaluatePreparedFrame, VisibilityOpacityAndEquality) {
  LayerModel l = solid_layer(1, {1, 1, 1}, 4, 4);
  l.in_point = 1;
  l.out_point = 2;
  l.transform.opacity = AnimatedScalar::keyed({{1, 150, Interpolation::Linear}, {1.5, 150, Interpolation::Hold},
                                               {1.75, -10, Interpolation::Linear}});
  auto scene = prepared(comp_model(4, 4, {l}));
  EXPECT_TRUE(evaluate_prepared_frame(scene, 1).layers[0].visible);
  EXPECT_FALSE(evaluate_prepared_frame(scene, 2).layers[0].visible);
  EXPECT_EQ(evaluate_prepared_frame(scene, 1.2).layers[0].transform.opacity, 1.0);
  EXPECT_EQ(evaluate_prepared_frame(scene, 1.8).layers[0].transform.opacity, 0.0);

  EXPECT_TRUE(frame_states_equal(evaluate_prepared_frame(scene, 1.1), evaluate_prepared_frame(scene, 1.4)));
  EXPECT_FALSE(frame_states_equal(evaluate_prepared_frame(scene, 1.1), evaluate_prepared_frame(scene, 1.8)));
  EXPECT_FALSE(frame_states_equal(evaluate_prepared_frame(scene, 1.1), evaluate_prepared_frame(scene, 2.5)));
  EXPECT_TRUE(frame_states_equal(evaluate_prepared_frame(scene, 0), evaluate_prepared_frame(scene, 3)));
  auto twin = prepared(comp_model(4, 4, {l}));
  EXPECT_FALSE(frame_states_equal(evaluate_prepared_frame(scene, 1.1), evaluate_prepared_frame(twin, 1.1)));
}

TEST(SceneIsStaticOver, Ranges) {
  LayerModel still = solid_layer(1, {1, 1, 1}, 4, 4);
  still.in_point = 1;
  still.out_point = 3;
  LayerModel moving = solid_layer(2, {1, 1, 1}, 4, 4);
  moving.in_point = 5;
  moving.out_point = 6;
  moving.transform.rotation = AnimatedScalar::keyed({{5, 0, Interpolation::Linear}, {6, 90, Interpolation::Linear}});
  auto scene = prepared(comp_model(4, 4, {still, moving}));
  struct Case {
    double lo, hi;
    bool want;
  } cases[] = {{1, 2.9, true}, {0.5, 2, false}, {2, 3, false}, {3, 4.9, true}, {4, 5, false},
               {2, 1, false},  {NAN, 2, false}, {1.5, 1.5, true}};
  for (const Case& c : cases) EXPECT_EQ(scene_is_static_over(scene->layers, c.lo, c.hi), c.want) << c.lo << " " << c.hi;
}

TEST(RenderPreparedFrame, LimitsAndNonFiniteTransforms) {
  auto big = prepared(comp_model(8001, 8000));
  auto refused = render_prepared_frame(evaluate_prepared_frame(big, 0), 1, true);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), "frame dimensions exceed raster budget");
  auto halved = render_prepared_frame(evaluate_prepared_frame(big, 0), 2, true);
  ASSERT_TRUE(halved.ok());
  EXPECT_EQ(halved.value().width, 4000u);
  auto small = prepared(comp_model(3, 3));
  auto tiny = render_prepared_frame(evaluate_prepared_frame(small, 0), 4, true);
  ASSERT_TRUE(tiny.ok());
  EXPECT_EQ(tiny.value().width * tiny.value().height, 1u);
  EXPECT_EQ(render_prepared_frame(evaluate_prepared_frame(small, 0), 0, true).value().width, 3u);

  // Finite keys whose difference overflows: refused when drawn, not drawn.
  LayerModel wild = solid_layer(1, {1, 1, 1}, 4, 4);
  wild.transform.position = AnimatedVec2::keyed({{0, {-1.7e308, 0}, Interpolation::Linear},
                                                 {1, {1.7e308, 0}, Interpolation::Linear}});
  auto scene = prepared(comp_model(4, 4, {wild}));
  auto r = render_prepared_frame(evaluate_prepared_frame(scene, 0.5), 1, true);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "non-finite evaluated transform");
}

}  // namespace
}  // namespace vel::testing
