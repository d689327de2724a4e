#include "panel/panel_views.h"

#include <gtest/gtest.h>

#include "core/options.h"
#include "panel/panel_controls.h"
#include "panel/panel_homes.h"
#include "panel/scrub_signals.h"

namespace vel {
namespace {

using platform::NSView;

std::unique_ptr<PanelViews> built(PanelBuildInputs in = {}) {
  in.async_present = false;
  return build_panel(in);
}

// Restores the process-wide options a test changes.
struct OptionsGuard {
  PersistedOptions saved = snapshot_panel_options();
  ~OptionsGuard() { apply_persisted_options(saved); }
};

TEST(PanelViewsTest, SubviewsGoInDrawingOrderWithTheirTexts) {
  auto p = built();
  auto container = NSView::initWithFrame({0, 0, 900, 500});
  add_panel_subviews(*p, *container);
  const std::vector<const NSView*> expected = {
      p->display_view.get(), p->metal_view.get(), p->strip_view.get(), p->status_label.get(), p->detail_label.get(),
      p->picture_scrub.get(), p->strip_scrub.get(), p->play_button.get(),  p->size_label.get(),
      p->size_popup.get(),   p->speed_label.get(),  p->speed_popup.get(),  p->autosave_checkbox.get(),
      p->update_button.get()};
  ASSERT_EQ(container->subviews().size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(container->subviews()[i].get(), expected[i]) << i;

  EXPECT_EQ(p->play_button->title(), kPauseTitle);
  EXPECT_EQ(p->play_button->action(), "togglePlay:");
  EXPECT_EQ(p->size_label->stringValue(), "Size");
  EXPECT_EQ(p->speed_label->stringValue(), "Speed");
  EXPECT_EQ(p->autosave_checkbox->title(), "Autosave");
  EXPECT_TRUE(p->autosave_checkbox->isCheckbox());
  EXPECT_EQ(p->status_label->stringValue(), "");
  EXPECT_TRUE(p->status_label->font().bold);
  EXPECT_EQ(p->detail_label->alignment(), platform::NSTextAlignment::Right);
  EXPECT_TRUE(p->update_button->isHidden());
  EXPECT_EQ(p->update_button->action(), "openUpdate:");
  EXPECT_EQ(p->picture_scrub->kind(), ScrubKind::Picture);
  EXPECT_EQ(p->strip_scrub->kind(), ScrubKind::Strip);
  EXPECT_EQ(p->display_view->imageScaling(), platform::NSImageScaleAxesIndependently);
  ASSERT_TRUE(p->size_popup->appearance());
  EXPECT_EQ(p->size_popup->appearance()->name(), platform::NSAppearanceNameDarkAqua);
  // The stand-in host has a GPU: the Metal view hosts the layer the worker draws into.
  ASSERT_TRUE(p->metal_view && p->metal);
  EXPECT_EQ(p->metal_view->layer(), p->metal->layer);
  EXPECT_FALSE(p->metal->layer->framebufferOnly());
  EXPECT_FALSE(p->cpu);
}

TEST(PanelViewsTest, PopupsOfferTheMachinesLevelsAndSelectTheOptions) {
  struct Case {
    uint64_t quality, speed, level;
    std::vector<std::string> speeds;
    std::string size_shown, speed_shown;
  };
  const Case cases[] = {
      {7, 9, 4, {"Normal", "Fast", "Extreme", "Max"}, "1/4 res", "Normal"},
      {3, 1, 2, {"Normal", "Fast"}, "1/1 res", "Fast"},
      {0, 0, 1, {"Normal"}, "1/8 res", "Normal"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    PanelBuildInputs in;
    in.quality = c.quality;
    in.speed = c.speed;
    in.speed_level = c.level;
    auto p = built(in);
    EXPECT_EQ(p->size_popup->itemTitles(), (std::vector<std::string>{"1/8 res", "1/4 res", "1/2 res", "1/1 res"}));
    EXPECT_EQ(p->speed_popup->itemTitles(), c.speeds);
    EXPECT_EQ(p->size_popup->titleOfSelectedItem(), c.size_shown);
    EXPECT_EQ(p->speed_popup->titleOfSelectedItem(), c.speed_shown);
    EXPECT_EQ(p->single_speed, c.level < 2);
  }
}

TEST(PanelViewsTest, ControlsStoreOptionsAndCountPlayClicks) {
  OptionsGuard guard;
  auto p = built();
  PanelOptions& o = panel_options();
  p->speed_popup->chooseItemAtIndex(3);
  EXPECT_EQ(o.speed.load(), 3u);  // "Max"
  p->size_popup->chooseItemAtIndex(0);
  EXPECT_EQ(o.quality.load(), 0u);
  p->speed_popup->chooseItemAtIndex(-1);  // no selection: nothing changes
  EXPECT_EQ(o.speed.load(), 3u);
  p->autosave_checkbox->setState(-1);  // mixed
  p->autosave_checkbox->sendAction();
  EXPECT_FALSE(o.autosave.load());
  p->autosave_checkbox->performClick();
  EXPECT_TRUE(o.autosave.load());
  // A sender of the wrong class is ignored.
  EXPECT_TRUE(p->options_target->performAction("qualityChanged:", p->play_button.get()));
  EXPECT_EQ(o.quality.load(), 0u);
  EXPECT_EQ(quality_from_index(9), 1u);
  EXPECT_EQ(speed_from_index(9), 0u);

  const uint64_t toggles = scrub_signals().play_toggles.load();
  p->play_button->performClick();
  p->play_button->performClick();
  EXPECT_EQ(scrub_signals().play_toggles.load() - toggles, 2u);
}

TEST(PanelViewsTest, TheUpdateButtonOpensTheNoticeLink) {
  int opened = 0;
  PanelBuildInputs in;
  in.open_update_link = [&opened] { ++opened; };
  auto p = built(in);
  p->update_button->performClick();
  EXPECT_EQ(opened, 1);
}

// A panel built while a notice exists shows the banner at once; later
// changes show or hide it and leave an unchanged title alone.
TEST(PanelViewsTest, TheUpdateBannerFollowsTheNoticeFromBuildOn) {
  PanelBuildInputs in;
  in.update_banner_title = "Update available";
  auto p = built(in);
  EXPECT_FALSE(p->update_button->isHidden());
  EXPECT_EQ(p->update_button->title(), "Update available");
  const uint64_t sets = p->update_button->titleSets();

  set_update_banner(*p, std::string("Update available"));
  EXPECT_EQ(p->update_button->titleSets(), sets);
  set_update_banner(*p, std::nullopt);
  EXPECT_TRUE(p->update_button->isHidden());
  EXPECT_EQ(p->update_button->title(), "Update available") << "hiding keeps the last title";
  set_update_banner(*p, std::string("v2"));
  EXPECT_FALSE(p->update_button->isHidden());
  EXPECT_EQ(p->update_button->title(), "v2");
}

// Only built homes take the banner: a docked home without a container has
// no panel to reach, the floating window's panel shows it across its top.
TEST(PanelViewsTest, TheUpdateBannerReachesEveryBuiltHome) {
  DockedHome docked;
  FloatingHome floating;
  PanelBuildInputs in;
  in.async_present = false;
  apply_update_banner(docked, floating, std::string("banner"));  // no home yet: nothing to do
  show_floating_panel(floating, in);
  ASSERT_TRUE(floating.views);
  EXPECT_TRUE(floating.views->update_button->isHidden());
  apply_update_banner(docked, floating, std::string("banner"));
  EXPECT_FALSE(floating.views->update_button->isHidden());
  EXPECT_EQ(floating.views->update_button->title(), "banner");
  const platform::NSRect f = floating.views->update_button->frame();
  EXPECT_EQ(f.y + f.height, kFloatingHeight);
  apply_update_banner(docked, floating, std::nullopt);
  EXPECT_TRUE(floating.views->update_button->isHidden());
  stop_home_presenters(docked, floating);
}

TEST(StatusTextTest, OnlyTextsBeginningWithTheBusyWordAreWhiteAndSmaller) {
  struct Case {
    const char* text;
    bool white;
  };
  const Case cases[] = {{"VELOCINTAING\xE2\x80\xA6", true}, {"VELOCINTAING", true},  {"velocintaing", false},
                        {"VELOCINTA", false},                {"", false},             {"On hold", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const StatusStyle s = status_text_style(c.text);
    EXPECT_EQ(s.red == 1.0 && s.green == 1.0 && s.blue == 1.0, c.white);
    EXPECT_DOUBLE_EQ(s.font_size, c.white ? 11.0 : 12.0);
    if (!c.white) {
      EXPECT_DOUBLE_EQ(s.red, 0.6588235294117647);
    }
  }
  auto label = platform::NSTextField::initWithFrame({});
  set_status_label(*label, "VELOCINTAING\xE2\x80\xA6");
  EXPECT_EQ(label->font(), platform::NSFont::systemFontOfSize(11));
  EXPECT_EQ(label->textColor(), platform::NSColor::whiteColor());
  set_status_label(*label, "");
  EXPECT_EQ(label->stringValue(), "");
}

TEST(PlayControlsTest, TitlesAndHintAreSetOnlyWhenTheyChange) {
  auto docked = built();
  auto floating = built();
  PlayControlMemory m;
  PanelHomes homes{docked.get(), floating.get(), true};
  update_play_controls(m, false, 0, homes);
  EXPECT_EQ(docked->play_button->title(), kPauseTitle);
  EXPECT_EQ(floating->status_label->stringValue(), "Scrub anywhere");
  const uint64_t titles = docked->play_button->titleSets(), texts = docked->status_label->stringSets();
  update_play_controls(m, false, 0, homes);
  EXPECT_EQ(docked->play_button->titleSets(), titles);
  EXPECT_EQ(docked->status_label->stringSets(), texts);

  update_play_controls(m, true, 2, homes);
  EXPECT_EQ(docked->play_button->title(), kPlayTitle);
  EXPECT_EQ(docked->status_label->stringValue(), "Pool unavailable: render settings");

  // After a teardown both are set again.
  m = PlayControlMemory{};
  update_play_controls(m, true, 2, homes);
  EXPECT_EQ(docked->play_button->titleSets(), titles + 2);
  EXPECT_EQ(docked->status_label->stringSets(), texts + 2);
}

TEST(PlayControlsTest, AHiddenFloatingWindowEndsItsScrubsInsteadOfTakingTitles) {
  auto floating = built();
  auto window = platform::NSWindow::initWithContentRect({0, 0, 400, 300});
  add_panel_subviews(*floating, *window->contentView());
  platform::NSEvent down;
  down.locationInWindow = {0, 0};
  floating->picture_scrub->setFrame({0, 0, 100, 100});
  floating->picture_scrub->mouseDown(down);
  ASSERT_NE(floating->picture_scrub->scrub_token(), 0u);
  PlayControlMemory m;
  update_play_controls(m, true, 0, PanelHomes{nullptr, floating.get(), false});
  EXPECT_EQ(floating->picture_scrub->scrub_token(), 0u);
  EXPECT_EQ(floating->play_button->title(), kPauseTitle);
}

}  // namespace
}  // namespace vel
