// The delivery queue on a ten-hour composition: the playhead's window is
// gone through once, and again only when the cache, the window or the wanted
// width changed; what is pending elsewhere is weighed on every tick, so the
// queue is the one a fresh pass makes.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "cache/frame_cache.h"
#include "cache/frame_cache_ops.h"
#include "preview/delivery_queue.h"
#include "preview/preview_controller.h"

namespace vel {
namespace {

constexpr int64_t kTenHours = 10 * 3600 * 30;
constexpr int64_t kPlayhead = 540000;

FrameKey at30(int64_t frame) { return FrameKey{static_cast<int32_t>(frame), 30}; }

// Paused half way, the cache full of the 4096 frames from the playhead on
// but ten of them, frames wanted 4 pixels wide.
struct TenHours {
  PreviewController ctl = make_preview_controller(1, 0);
  FrameCache cache;
  PreviewTickInputs in;
  PoolView pool;
  uint32_t want_width = 4;

  TenHours() {
    ctl.timing = CompFrameTiming{1, 30, static_cast<int32_t>(kTenHours), 30};
    ctl.frame_count = kTenHours;
    ctl.current_frame = kPlayhead;
    ctl.playhead.frame = kPlayhead;
    cache.budget_bytes = uint64_t{1} << 30;
    for (int64_t f = kPlayhead; f < kPlayhead + 4096; ++f) {
      if (f < kPlayhead + 10 || f >= kPlayhead + 20) cache_frame(f, 4);
    }
  }
  void cache_frame(int64_t f, uint32_t side) {
    std::vector<uint8_t> px(size_t{side} * side * 4, static_cast<uint8_t>(f));
    ASSERT_TRUE(cache_rendered_frame(cache, at30(f), RgbaFrame{PixelPayload::adopt(px), f / 30.0, side, side}));
  }
};

void expect_same(const DeliveryQueue& a, const DeliveryQueue& b) {
  EXPECT_EQ(a.frames, b.frames);
  EXPECT_EQ(a.playhead_key, b.playhead_key);
  EXPECT_EQ(a.frames_unclaimed, b.frames_unclaimed);
  EXPECT_EQ(a.none_missing, b.none_missing);
}

TEST(DeliveryWindow, ATickWithNothingChangedGoesThroughNoFrameAndQueuesWhatAFreshPassWould) {
  TenHours w;
  DeliveryWindowMemo memo;
  const DeliveryQueue first = build_delivery_queue(w.ctl, w.cache, w.want_width, w.in, w.pool, memo);
  ASSERT_EQ(first.frames.size(), 10u);
  EXPECT_EQ(first.frames.front().frame, kPlayhead + 10);
  EXPECT_EQ(memo.passes, 1u);

  struct Step {
    const char* name;
    std::function<void(TenHours&)> change;
    bool pass;  // the window is gone through again
  } steps[] = {
      {"nothing changed", [](TenHours&) {}, false},
      {"the render manager asked for a lacking frame",
       [](TenHours& t) {
         t.ctl.async_pending.emplace(1, at30(kPlayhead + 11));
         t.ctl.async_pending_keys.insert(at30(kPlayhead + 11));
       },
       false},
      {"the store asked for another", [](TenHours& t) { t.ctl.store_pending.insert(at30(kPlayhead + 12)); }, false},
      {"another refused", [](TenHours& t) { t.ctl.unplaceable.insert(at30(kPlayhead + 13)); }, false},
      {"a batch holding the rest",
       [](TenHours& t) {
         t.in.pool_engaged = true;
         t.in.pool_pending.emplace_back(kPlayhead + 15, kPlayhead + 17);
       },
       false},
      {"the answers came",
       [](TenHours& t) {
         t.ctl.async_pending.clear();
         t.ctl.async_pending_keys.clear();
         t.ctl.store_pending.erase(at30(kPlayhead + 12));
         t.ctl.unplaceable.clear();
         t.in.pool_pending.clear();
       },
       false},
      {"a lacking frame cached", [](TenHours& t) { t.cache_frame(kPlayhead + 14, 4); }, true},
      {"playing from the next frame", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 1; }, true},
      {"played on inside the window's cached part", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 2; }, true},
      {"the work area moved", [](TenHours& t) { t.ctl.work_area = {kPlayhead + 5, kPlayhead + 100}; }, true},
      {"wider frames wanted", [](TenHours& t) { t.want_width = 8; }, true},
      {"a lower frame limit", [](TenHours& t) { t.cache.frame_limit = 50; }, true},
      {"nothing changed again", [](TenHours&) {}, false},
  };
  uint64_t passes = memo.passes;
  for (Step& s : steps) {
    SCOPED_TRACE(s.name);
    s.change(w);
    const DeliveryQueue q = build_delivery_queue(w.ctl, w.cache, w.want_width, w.in, w.pool, memo);
    expect_same(q, build_delivery_queue(w.ctl, w.cache, w.want_width, w.in, w.pool));
    passes += s.pass ? 1 : 0;
    EXPECT_EQ(memo.passes, passes);
  }
}

}  // namespace
}  // namespace vel
