// The delivery queue on a ten-hour composition: the playhead's window is
// gone through once, and again whole only when the work area, the frame
// limit or the wanted width changed or the playhead jumped; otherwise only
// the frames that came into the window and the keys the cache noted are
// looked at. What is pending elsewhere is weighed on every tick, so the
// queue is the one a fresh pass makes.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "cache/eviction.h"
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

TEST(DeliveryWindow, ATickLooksAtWhatChangedOnlyAndQueuesWhatAFreshPassWould) {
  TenHours w;
  DeliveryWindowMemo memo;
  const DeliveryQueue first = build_delivery_queue(w.ctl, w.cache, w.want_width, w.in, w.pool, memo);
  ASSERT_EQ(first.frames.size(), 10u);
  EXPECT_EQ(first.frames.front().frame, kPlayhead + 10);
  EXPECT_EQ(memo.passes, 1u);

  struct Step {
    const char* name;
    std::function<void(TenHours&)> change;
    bool pass;           // the whole window is gone through again
    uint64_t looked_at;  // else the frames looked at
  } steps[] = {
      {"nothing changed", [](TenHours&) {}, false, 0},
      {"the render manager asked for a lacking frame",
       [](TenHours& t) {
         t.ctl.async_pending.emplace(1, at30(kPlayhead + 11));
         t.ctl.async_pending_keys.insert(at30(kPlayhead + 11));
       },
       false, 0},
      {"the store asked for another", [](TenHours& t) { t.ctl.store_pending.insert(at30(kPlayhead + 12)); }, false,
       0},
      {"another refused", [](TenHours& t) { t.ctl.unplaceable.insert(at30(kPlayhead + 13)); }, false, 0},
      {"a batch holding the rest",
       [](TenHours& t) {
         t.in.pool_engaged = true;
         t.in.pool_pending.emplace_back(kPlayhead + 15, kPlayhead + 17);
       },
       false, 0},
      {"the answers came",
       [](TenHours& t) {
         t.ctl.async_pending.clear();
         t.ctl.async_pending_keys.clear();
         t.ctl.store_pending.erase(at30(kPlayhead + 12));
         t.ctl.unplaceable.clear();
         t.in.pool_pending.clear();
       },
       false, 0},
      {"a lacking frame cached", [](TenHours& t) { t.cache_frame(kPlayhead + 14, 4); }, false, 1},
      {"a frame of the window put out", [](TenHours& t) { evict_frame(t.cache, at30(kPlayhead + 30)); }, false, 1},
      {"a frame outside the window cached", [](TenHours& t) { t.cache_frame(3, 4); }, false, 0},
      {"the frame put out cached again, narrower than wanted later",
       [](TenHours& t) { t.cache_frame(kPlayhead + 30, 4); }, false, 1},
      {"playing from the next frame", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 1; }, false, 1},
      {"played on inside the window's cached part", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 2; },
       false, 1},
      {"a step back", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 1; }, false, 1},
      {"a jump far away", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 100000; }, true, 0},
      {"back again", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 2; }, true, 0},
      {"the work area moved", [](TenHours& t) { t.ctl.work_area = {kPlayhead + 5, kPlayhead + 100}; }, true, 0},
      {"played on round the work area's end", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 100; }, false, 0},
      {"wider frames wanted", [](TenHours& t) { t.want_width = 8; }, true, 0},
      {"a lower frame limit", [](TenHours& t) { t.cache.frame_limit = 50; }, true, 0},
      {"played on with the window shorter than the loop", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 6; },
       false, 2},
      {"the cache emptied", [](TenHours& t) { clear_frame_cache(t.cache); }, true, 0},
      {"nothing changed again", [](TenHours&) {}, false, 0},
  };
  for (Step& s : steps) {
    SCOPED_TRACE(s.name);
    s.change(w);
    const uint64_t passes = memo.passes;
    const uint64_t looked = memo.frames_looked_at;
    const DeliveryQueue q = build_delivery_queue(w.ctl, w.cache, w.want_width, w.in, w.pool, memo);
    expect_same(q, build_delivery_queue(w.ctl, w.cache, w.want_width, w.in, w.pool));
    EXPECT_EQ(memo.passes, passes + (s.pass ? 1 : 0));
    if (!s.pass) {
      EXPECT_EQ(memo.frames_looked_at, looked + s.looked_at);
    }
  }
}

}  // namespace
}  // namespace vel
