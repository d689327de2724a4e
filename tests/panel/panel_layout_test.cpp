#include "panel/panel_layout.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "panel/panel_views.h"

namespace vel {
namespace {

TEST(PanelLayoutTest, SixteenByNineInAThousandBySixHundredPanelAtScaleTwo) {
  LayoutInputs in;
  in.width = 1000;
  in.height = 600;
  in.scale = 2;
  const PanelFrames f = compute_panel_layout(in);
  EXPECT_DOUBLE_EQ(f.picture.x, 0.5);
  EXPECT_DOUBLE_EQ(f.picture.y, 38.0);
  EXPECT_DOUBLE_EQ(f.picture.width, 999.0);
  EXPECT_DOUBLE_EQ(f.picture.height, 562.0);
  EXPECT_EQ(f.picture_px, (PicturePixels{1998, 1124}));
  // No room above the picture: the status line goes over its top.
  EXPECT_DOUBLE_EQ(f.status.y, 38.0 + 562.0 - 22.0);
  EXPECT_DOUBLE_EQ(f.status.x, 6.5);
  EXPECT_DOUBLE_EQ(f.detail.y, 40.0);
  EXPECT_EQ(f.strip, (platform::NSRect{0, 26, 1000, 12}));
  EXPECT_EQ(f.update, (platform::NSRect{0, 578, 1000, 22}));
  EXPECT_EQ(f.play, (platform::NSRect{6, 2, 36, 22}));
  EXPECT_EQ(f.size_popup, (platform::NSRect{98, 2, 104, 22}));
  EXPECT_EQ(f.speed_label, (platform::NSRect{214, 2, 40, 20}));
  EXPECT_EQ(f.speed_popup, (platform::NSRect{256, 2, 104, 22}));
  EXPECT_EQ(f.autosave, (platform::NSRect{368, 2, 104, 22}));
}

TEST(PanelLayoutTest, AnAspectThatIsNotAPositiveNumberLaysOutAsSixteenByNine) {
  LayoutInputs ref;
  ref.width = 800;
  ref.height = 700;
  ref.scale = 1;
  const PanelFrames expected = compute_panel_layout(ref);
  for (double a : {0.0, -1.5, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    LayoutInputs in = ref;
    in.aspect = a;
    EXPECT_EQ(compute_panel_layout(in).picture, expected.picture) << a;
  }
  EXPECT_DOUBLE_EQ(expected.picture.height, 450.0);
  // Room above the picture: the status line sits over it.
  EXPECT_DOUBLE_EQ(expected.status.y, expected.picture.y + 450.0 + 2.0);
}

TEST(PanelLayoutTest, NarrowPanelsHideCaptionsAndShrinkThePopups) {
  struct Case {
    double width;
    double popup;
  };
  for (const Case c : {Case{539, 104.0}, Case{400, (400 - 114) / 3.0}, Case{200, 48.0}}) {
    LayoutInputs in;
    in.width = c.width;
    in.height = 400;
    const PanelFrames f = compute_panel_layout(in);
    SCOPED_TRACE(c.width);
    EXPECT_TRUE(f.size_label_hidden);
    EXPECT_TRUE(f.speed_label_hidden);
    EXPECT_FALSE(f.speed_popup_hidden);
    EXPECT_DOUBLE_EQ(f.popup_width, std::min(c.popup, 104.0));
    EXPECT_DOUBLE_EQ(f.size_popup.x, 50.0);
    EXPECT_DOUBLE_EQ(f.speed_popup.x, f.popup_width + 58.0);
  }
}

TEST(PanelLayoutTest, OneSpeedLevelHidesTheSpeedPopupAndCaptionButKeepsTheCheckboxPlace) {
  LayoutInputs in;
  in.width = 900;
  in.height = 500;
  const PanelFrames two = compute_panel_layout(in);
  in.single_speed = true;
  const PanelFrames one = compute_panel_layout(in);
  EXPECT_TRUE(one.speed_popup_hidden);
  EXPECT_TRUE(one.speed_label_hidden);
  EXPECT_FALSE(one.size_label_hidden);
  EXPECT_EQ(one.autosave, two.autosave);
}

TEST(PanelLayoutTest, NativeModeNeverShowsMorePixelsThanTheNativeWidth) {
  LayoutInputs in;
  in.width = 1000;
  in.height = 800;
  in.scale = 2;
  in.mode = kLayoutModeNative;
  in.native_width = 960;
  const PanelFrames f = compute_panel_layout(in);
  EXPECT_DOUBLE_EQ(f.picture.width, 480.0);
  EXPECT_EQ(f.picture_px.width, 960u);
  EXPECT_DOUBLE_EQ(f.picture.x, 260.0);
}

TEST(PanelLayoutTest, WithoutAWindowThePictureHasNoPixelSize) {
  LayoutInputs in;
  in.width = 640;
  in.height = 400;
  EXPECT_EQ(compute_panel_layout(in).picture_px, (PicturePixels{0, 0}));
}

struct Mounted {
  std::shared_ptr<platform::NSWindow> window = platform::NSWindow::initWithContentRect({0, 0, 1000, 600});
  std::unique_ptr<PanelViews> panel;
  explicit Mounted(uint64_t speed_level = 4) {
    window->setBackingScaleFactor(2);
    PanelBuildInputs in;
    in.metal_allowed = false;
    in.speed_level = speed_level;
    in.async_present = false;
    panel = build_panel(in);
    layout_panel(*panel, *window->contentView());
    add_panel_subviews(*panel, *window->contentView());
  }
};

TEST(PanelLayoutTest, ASecondLayoutWithUnchangedInputsSetsNoFrame) {
  Mounted m;
  EXPECT_EQ(m.panel->picture_px, (PicturePixels{1998, 1124}));
  EXPECT_EQ(m.panel->cpu->picture_px(), (PicturePixels{1998, 1124}));
  const uint64_t before = m.panel->display_view->frameSets() + m.panel->autosave_checkbox->frameSets();
  layout_panel(*m.panel, *m.window->contentView());
  set_layout_aspect(*m.panel, m.window->contentView().get(), kLayoutModeFit, 0, false, 0.0);
  EXPECT_EQ(m.panel->display_view->frameSets() + m.panel->autosave_checkbox->frameSets(), before);
  // A new size lays out again.
  m.window->setContentSize({800, 600});
  layout_panel(*m.panel, *m.window->contentView());
  EXPECT_GT(m.panel->display_view->frameSets() + m.panel->autosave_checkbox->frameSets(), before);
  EXPECT_EQ(m.panel->display_view->frame().width, 800.0);
}

TEST(PanelLayoutTest, AspectChangesLayOutAgainOnlyWhenTheyDiffer) {
  Mounted m;
  const auto& container = m.window->contentView();
  set_layout_aspect(*m.panel, container.get(), kLayoutModeFit, 0, true, 4.0 / 3.0);
  EXPECT_DOUBLE_EQ(m.panel->display_view->frame().height, 562.0);
  EXPECT_NEAR(m.panel->display_view->frame().width, 749.5, 0.5);
  const uint64_t sets = m.panel->display_view->frameSets();
  set_layout_aspect(*m.panel, container.get(), kLayoutModeFit, 0, true, 4.0 / 3.0);
  EXPECT_EQ(m.panel->display_view->frameSets(), sets);
}

}  // namespace
}  // namespace vel
