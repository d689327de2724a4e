// The grab's raster road: a held raster comp is drawn at the grab's time and
// downsample; one the raster path cannot draw is handed back to the host.
#include <gtest/gtest.h>

#include "preview/preview_controller.h"

namespace vel {
namespace {

CompModel one_solid(const std::string& blend, double in_point) {
  LayerModel l;
  l.index = 1;
  l.name = "S";
  l.kind = LayerKind::Av;
  l.source = SolidSource{{1, 0, 0}, 40, 20};
  l.in_point = in_point;
  l.out_point = 10;
  l.enabled = true;
  l.blend_mode = blend;
  l.transform.anchor = AnimatedVec2::constant({0, 0});
  l.transform.scale = AnimatedVec2::constant({100, 100});
  l.transform.opacity = AnimatedScalar::constant(100);
  CompModel c;
  c.width = 40;
  c.height = 20;
  c.layers = {l};
  return c;
}

TEST(RasterGrab, DrawsTheHeldCompAtTheKeysTime) {
  PreviewController ctl = make_preview_controller(1, 0);
  EXPECT_FALSE(grab_pinned_frame(ctl, FrameKey{0, 25}, 1)) << "no raster comp held";

  ctl.raster_comp = std::make_shared<const CompModel>(one_solid("normal", 1.0));
  auto before = grab_pinned_frame(ctl, FrameKey{24, 25}, 0);  // 0.96 s: not yet visible
  ASSERT_TRUE(before);
  EXPECT_EQ(before->width, 40u);
  EXPECT_EQ(before->pixels.bytes()[3], 0);
  auto after = grab_pinned_frame(ctl, FrameKey{25, 25}, 2);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->width, 20u);
  EXPECT_EQ(after->downsample, 2u);
  EXPECT_EQ(after->pixels.bytes()[0], 255);
  EXPECT_EQ(after->pixels.bytes()[3], 255);
  EXPECT_TRUE(ctl.raster_comp);
}

TEST(RasterGrab, AFrameItCannotDrawHandsTheCompositionBack) {
  PreviewController ctl = make_preview_controller(1, 0);
  ctl.raster_comp = std::make_shared<const CompModel>(one_solid("soft_light", 0));
  EXPECT_FALSE(grab_pinned_frame(ctl, FrameKey{0, 25}, 1));
  EXPECT_FALSE(ctl.raster_comp);
}

}  // namespace
}  // namespace vel
