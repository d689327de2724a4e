// The cache strip's columns on a ten-hour composition: the keys the cache
// noted are followed one by one, the cache's keys are all gone through only
// when the composition's frames or the strip's width changed, and at every
// step the columns are those a fresh count over the cache's keys lights.
#include "plugin/strip_columns.h"

#include <gtest/gtest.h>

#include "cache/eviction.h"
#include "cache/frame_cache_ops.h"
#include "panel/cache_strip.h"

namespace vel {
namespace {

constexpr int64_t kTenHrs = 10 * 3600 * 30;

struct TenHours {
  PreviewController ctl = make_preview_controller(1, 0);
  FrameCache cache;
  StripColumnsMemo memo;

  TenHours() {
    ctl.timing = CompFrameTiming{1, 30, static_cast<int32_t>(kTenHrs), 30};
    ctl.frame_count = kTenHrs;
    cache.budget_bytes = uint64_t{1} << 30;
  }
  void cache_frame(int64_t f, uint32_t side = 4) {
    std::vector<uint8_t> px(size_t{side} * side * 4, static_cast<uint8_t>(f));
    ASSERT_TRUE(cache_rendered_frame(cache, FrameKey{static_cast<int32_t>(f), 30},
                                     RgbaFrame{PixelPayload::adopt(px), f / 30.0, side, side}));
  }
  std::vector<uint32_t> lit(uint32_t width) {
    const std::vector<uint8_t>& flags = cached_strip_columns(memo, ctl, cache, width);
    // What a count of every cached key from nothing lights.
    std::vector<int64_t> frames;
    for (const auto& [key, entry] : cache.index) {
      if (auto f = frame_of_key(ctl, key)) frames.push_back(*f);
    }
    EXPECT_EQ(flags, strip_columns(ctl.frame_count, width, frames));
    std::vector<uint32_t> columns;
    for (uint32_t x = 0; x < flags.size(); ++x) {
      if (flags[x]) columns.push_back(x);
    }
    return columns;
  }
};

TEST(StripColumns, ATenHourCompositionFollowsTheKeysThatChangedAndIsGoneThroughOnlyWhenItsFramesOrWidthChange) {
  TenHours w;
  for (int64_t f = 540000; f < 540000 + 64; ++f) w.cache_frame(f);
  // A key no frame of the composition has lights nothing.
  std::vector<uint8_t> px(64, 1);
  ASSERT_TRUE(cache_rendered_frame(w.cache, FrameKey{7, 24}, RgbaFrame{PixelPayload::adopt(px), 0, 4, 4}));
  EXPECT_EQ(w.lit(1920), (std::vector<uint32_t>{960}));
  EXPECT_EQ(w.memo.passes, 1u);
  EXPECT_EQ(w.memo.keys_visited, 65u);

  struct Step {
    const char* name;
    std::function<void(TenHours&)> change;
    uint32_t width;
    std::vector<uint32_t> columns;
    bool pass;        // every cached key gone through
    uint64_t visits;  // else the keys looked at
  } steps[] = {
      {"nothing changed", [](TenHours&) {}, 1920, {960}, false, 0},
      {"a frame cached", [](TenHours& t) { t.cache_frame(kTenHrs - 1); }, 1920, {960, 1919}, false, 1},
      {"the same frame, larger", [](TenHours& t) { t.cache_frame(kTenHrs - 1, 8); }, 1920, {960, 1919}, false, 0},
      {"its column's only frame put out",
       [](TenHours& t) { evict_frame(t.cache, FrameKey{static_cast<int32_t>(kTenHrs - 1), 30}); }, 1920, {960},
       false, 1},
      {"one of 64 in a column put out", [](TenHours& t) { evict_frame(t.cache, FrameKey{540000, 30}); }, 1920, {960},
       false, 1},
      {"another width", [](TenHours&) {}, 960, {480}, true, 0},
      {"a shorter composition",
       [](TenHours& t) {
         t.ctl.frame_count = 540000 + 64;
         t.ctl.timing->duration_value = static_cast<int32_t>(t.ctl.frame_count);
       },
       960, {959}, true, 0},
      {"the cache emptied", [](TenHours& t) { clear_frame_cache(t.cache); }, 960, {}, true, 0},
      {"a frame after the empty cache", [](TenHours& t) { t.cache_frame(0); }, 960, {0}, false, 1},
  };
  for (Step& s : steps) {
    SCOPED_TRACE(s.name);
    s.change(w);
    const uint64_t passes = w.memo.passes;
    const uint64_t visited = w.memo.keys_visited;
    EXPECT_EQ(w.lit(s.width), s.columns);
    EXPECT_EQ(w.memo.passes, passes + (s.pass ? 1 : 0));
    if (!s.pass) {
      EXPECT_EQ(w.memo.keys_visited, visited + s.visits);
    }
    EXPECT_EQ(w.lit(s.width), s.columns);
    EXPECT_EQ(w.memo.passes, passes + (s.pass ? 1 : 0)) << "nothing changed since";
  }
}

}  // namespace
}  // namespace vel
