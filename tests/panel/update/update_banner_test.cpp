// The banner step: the panels hear of the notice once per change of
// (version, docked panel, floating window), and not at all in between.
#include <gtest/gtest.h>

#include "panel/update/update_banner.h"

namespace vel {
namespace {

// Stands for the panels' update buttons: counts what each tick asks of them.
struct Panels {
  bool docked = false;
  bool floating = false;
  int calls = 0;  // title sets, shows, hides and layouts together
  std::optional<std::string> shown_title;

  void apply(const UpdateBannerChange& change) {
    for (bool exists : {docked, floating}) {
      if (!exists) continue;
      calls += change.title ? 3 : 2;  // title, show, layout | hide, layout
      shown_title = change.title;
    }
  }
};

TEST(UpdateBanner, PanelsChangeOncePerChangeOfVersionOrPanels) {
  std::optional<UpdateNotice> slot;
  const auto read = [&slot] { return slot; };
  UpdateBannerMemory memory;
  Panels panels;
  const auto tick = [&] {
    const int before = panels.calls;
    if (auto change = update_banner_step(memory, panels.docked, panels.floating, read)) panels.apply(*change);
    return panels.calls - before;
  };

  EXPECT_EQ(tick(), 0) << "no panel, no notice: nothing to do";
  panels.docked = true;
  EXPECT_EQ(tick(), 2) << "a new panel hides its button and is laid out";
  EXPECT_EQ(tick(), 0);
  slot = UpdateNotice{"0.3.31", "https://a.example/"};
  EXPECT_EQ(tick(), 3);
  EXPECT_EQ(panels.shown_title, "Update available — v0.3.31 · click to download");
  EXPECT_EQ(tick(), 0);
  slot->link = "https://b.example/";  // a new link alone changes no text
  EXPECT_EQ(tick(), 0);
  panels.floating = true;
  EXPECT_EQ(tick(), 6) << "both panels hear of it";
  slot->version = "0.3.32";
  EXPECT_EQ(tick(), 6);
  EXPECT_EQ(panels.shown_title, "Update available — v0.3.32 · click to download");
  panels.docked = false;
  EXPECT_EQ(tick(), 3);
  EXPECT_EQ(tick(), 0);
}

TEST(UpdateBanner, TheTitleComesFromTheFreshestRead) {
  std::vector<std::optional<UpdateNotice>> reads = {UpdateNotice{"0.3.31", "l"}, UpdateNotice{"0.3.32", "l"}};
  size_t at = 0;
  UpdateBannerMemory memory;
  auto change = update_banner_step(memory, true, false, [&] { return reads[std::min(at++, reads.size() - 1)]; });
  ASSERT_TRUE(change.has_value());
  EXPECT_EQ(change->title, update_banner_title("0.3.32"));
  EXPECT_EQ(memory.version, "0.3.31");  // the next tick sees the newer one as a change
  EXPECT_TRUE(update_banner_step(memory, true, false, [&] { return reads.back(); }).has_value());
}

}  // namespace
}  // namespace vel
