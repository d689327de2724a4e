// The cache strip's columns on a ten-hour composition: taken from the
// cache's keys, and gone through again only when the cache, the
// composition's frames or the strip's width changed.
#include "plugin/strip_columns.h"

#include <gtest/gtest.h>

#include "cache/frame_cache_ops.h"

namespace vel {
namespace {

constexpr int64_t kTenHours = 10 * 3600 * 30;

struct TenHours {
  PreviewController ctl = make_preview_controller(1, 0);
  FrameCache cache;
  StripColumnsMemo memo;

  TenHours() {
    ctl.timing = CompFrameTiming{1, 30, static_cast<int32_t>(kTenHours), 30};
    ctl.frame_count = kTenHours;
  }
  void cache_frame(int64_t f) {
    std::vector<uint8_t> px(4 * 4 * 4, static_cast<uint8_t>(f));
    ASSERT_TRUE(cache_rendered_frame(cache, FrameKey{static_cast<int32_t>(f), 30},
                                     RgbaFrame{PixelPayload::adopt(px), f / 30.0, 4, 4}));
  }
  std::vector<uint32_t> lit(uint32_t width, bool redo = false) {
    std::vector<uint32_t> columns;
    const std::vector<uint8_t>& flags = cached_strip_columns(memo, ctl, cache, width, redo);
    for (uint32_t x = 0; x < flags.size(); ++x) {
      if (flags[x]) columns.push_back(x);
    }
    return columns;
  }
};

TEST(StripColumns, ATenHourCompositionShowsItsCachedFramesAndIsGoneThroughOnlyWhenItChanges) {
  TenHours w;
  w.cache.budget_bytes = uint64_t{1} << 30;
  for (int64_t f = 540000; f < 540000 + 64; ++f) w.cache_frame(f);
  // A key no frame of the composition has lights nothing.
  std::vector<uint8_t> px(64, 1);
  ASSERT_TRUE(cache_rendered_frame(w.cache, FrameKey{7, 24}, RgbaFrame{PixelPayload::adopt(px), 0, 4, 4}));
  EXPECT_EQ(w.lit(1920), (std::vector<uint32_t>{960}));
  EXPECT_EQ(w.memo.passes, 1u);
  EXPECT_EQ(w.lit(1920), (std::vector<uint32_t>{960}));
  EXPECT_EQ(w.memo.passes, 1u) << "nothing changed: no pass";

  struct Step {
    const char* name;
    std::function<void(TenHours&)> change;
    uint32_t width;
    std::vector<uint32_t> columns;
  } steps[] = {
      {"a frame cached", [](TenHours& t) { t.cache_frame(kTenHours - 1); }, 1920, {960, 1919}},
      {"another width", [](TenHours&) {}, 960, {480, 959}},
      {"a shorter composition",
       [](TenHours& t) {
         t.ctl.frame_count = 540000 + 64;
         t.ctl.timing->duration_value = static_cast<int32_t>(t.ctl.frame_count);
       },
       960, {959}},
      {"the cache emptied", [](TenHours& t) { clear_frame_cache(t.cache); }, 960, {}},
  };
  uint64_t passes = w.memo.passes;
  for (Step& s : steps) {
    SCOPED_TRACE(s.name);
    s.change(w);
    EXPECT_EQ(w.lit(s.width), s.columns);
    EXPECT_EQ(w.memo.passes, ++passes);
    EXPECT_EQ(w.lit(s.width), s.columns);
    EXPECT_EQ(w.memo.passes, passes);
  }
  EXPECT_EQ(w.lit(960, true), std::vector<uint32_t>{});
  EXPECT_EQ(w.memo.passes, passes + 1) << "asked to redo";
}

}  // namespace
}  // namespace vel
