// The rejection texts of the raster path, in the order their checks run.
#include <gtest/gtest.h>

#include "raster/raster_eligibility.h"
#include "raster_test_support.h"

namespace vel::testing {
namespace {

LayerModel named(LayerModel l) {
  l.index = 4;
  l.name = "Fond";
  return l;
}

TEST(LayerRejection, Texts) {
  const LayerModel base = named(solid_layer(4, {1, 0, 0}, 10, 10));
  struct Case {
    const char* what;
    void (*change)(LayerModel&);
    const char* want;
  } cases[] = {
      {"3D first", [](LayerModel& l) { l.three_d = true; l.kind = LayerKind::Text; }, "calque 4 « Fond » : 3D"},
      {"kind", [](LayerModel& l) { l.kind = LayerKind::Null; }, "calque 4 « Fond » : kind non-AV"},
      {"no source", [](LayerModel& l) { l.source.reset(); }, "calque 4 « Fond » : source None"},
      {"footage", [](LayerModel& l) { l.source = FootageSource{"clip \"a\".mov"}; },
       "calque 4 « Fond » : source Some(Footage { path: \"clip \\\"a\\\".mov\" })"},
      {"nested comp", [](LayerModel& l) { l.source = CompSource{"Pré"}; },
       "calque 4 « Fond » : source Some(Comp { comp_name: \"Pré\" })"},
      {"other item", [](LayerModel& l) { l.source = UnsupportedSource{"item_type(1): F"}; },
       "calque 4 « Fond » : source Some(Unsupported { desc: \"item_type(1): F\" })"},
      {"blend", [](LayerModel& l) { l.blend_mode = "soft_light"; }, "calque 4 « Fond » : blend « soft_light »"},
      {"matte", [](LayerModel& l) { l.track_matte = TrackMatte{}; }, "calque 4 « Fond » : track matte"},
      {"masks", [](LayerModel& l) { l.masks.emplace_back(); }, "calque 4 « Fond » : masques"},
      {"active effect", [](LayerModel& l) { l.effects = {{"ADBE Blur", false, false}, {"ADBE Fill", true, false}}; },
       "calque 4 « Fond » : effets actifs"},
      {"unsupported", [](LayerModel& l) { l.unsupported = {"time_remap", "parent(2)"}; },
       "calque 4 « Fond » : unsupported [\"time_remap\", \"parent(2)\"]"},
  };
  EXPECT_EQ(layer_rejection_reason(base), std::nullopt);
  for (const Case& c : cases) {
    LayerModel l = base;
    c.change(l);
    EXPECT_EQ(layer_rejection_reason(l).value_or("(none)"), c.want) << c.what;
  }
  LayerModel idle_effect = base;
  idle_effect.effects = {{"ADBE Blur", false, false}};
  EXPECT_EQ(layer_rejection_reason(idle_effect), std::nullopt);
}

TEST(SceneRejection, Texts) {
  LayerModel solid = solid_layer(2, {1, 1, 1}, 10, 10);
  LayerModel unsized = solid_layer(3, {1, 1, 1}, 0, 10);
  LayerModel unresolved = solid_layer(5, {1, 1, 1}, 10, 10);
  unresolved.transform.opacity = AnimatedScalar::keyed({{0, 0, Interpolation::Bezier}, {1, 100, Interpolation::Linear}});
  CompModel with_list = comp_model(10, 10, {solid});
  with_list.unsupported = {"time_remap"};
  struct Case {
    const char* what;
    CompModel comp;
    const char* want;
  } cases[] = {
      {"empty size", comp_model(0, 10, {solid}), "empty composition dimensions"},
      {"composition list", with_list, "composition: [\"time_remap\"]"},
      {"unknown solid size", comp_model(10, 10, {solid, unsized}), "layer 3: unknown solid dimensions"},
      {"bezier without eases", comp_model(10, 10, {solid, unresolved}), "layer 5: unresolved Bezier interpolation"},
  };
  for (const Case& c : cases) EXPECT_EQ(scene_rejection_reason(c.comp).value_or("(none)"), c.want) << c.what;

  // Layers that never show are passed over.
  LayerModel off = unsized;
  off.enabled = false;
  LayerModel empty_span = unresolved;
  empty_span.out_point = empty_span.in_point;
  EXPECT_EQ(scene_rejection_reason(comp_model(10, 10, {solid, off, empty_span})), std::nullopt);
}

TEST(RasterCandidate, IgnoresMotionBlurAndMarkersOnly) {
  LayerModel blurred = solid_layer(1, {1, 1, 1}, 10, 10);
  blurred.unsupported = {"motion_blur", "motion_blur"};
  CompModel comp = comp_model(10, 10, {blurred});
  comp.unsupported = {"markers", "motion_blur_settings"};
  auto accepted = raster_candidate(comp);
  ASSERT_TRUE(accepted.ok()) << accepted.error();
  EXPECT_TRUE(accepted.value().unsupported.empty());
  EXPECT_TRUE(accepted.value().layers[0].unsupported.empty());

  comp.layers[0].unsupported.push_back("time_remap");
  comp.unsupported.push_back("work_area");
  auto refused = raster_candidate(comp);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), "composition: [\"work_area\"]");
  EXPECT_EQ(raster_out_of_scope_text(refused.error()), "hors périmètre raster v0: composition: [\"work_area\"]");
}

}  // namespace
}  // namespace vel::testing
