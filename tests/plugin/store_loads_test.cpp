// The loads asked of the disk store on a ten-hour composition: one pass over
// the playhead's window finds the frames to ask for, and a tick with nothing
// new (the cache, the playhead, the work area and the keys asked for as they
// were) goes through no frame.
#include <gtest/gtest.h>

#include "cache/frame_cache_ops.h"
#include "plugin/store_feed.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

constexpr int64_t kTenHours = 10 * 3600 * 30;
constexpr int64_t kPlayhead = 540000;

FrameKey at30(int64_t frame) { return FrameKey{static_cast<int32_t>(frame), 30}; }

TEST(StoreLoads, AskedOnceAndTheWindowIsGoneThroughAgainOnlyWhenSomethingChanged) {
  testing::ScratchDir scratch("vel-loads");
  ASSERT_TRUE(scratch.ok());
  StoreFeed feed;
  feed.handle = spawn_store_worker(scratch.path() / "store");
  ASSERT_TRUE(feed.handle.live());
  feed.stream = StoreStreamIdentity{1, "Main", (scratch.path() / "p.aep").string()};
  PreviewController ctl = make_preview_controller(1, 0);
  ctl.timing = CompFrameTiming{1, 30, static_cast<int32_t>(kTenHours), 30};
  ctl.frame_count = kTenHours;
  ctl.current_frame = kPlayhead;
  ctl.playhead.frame = kPlayhead;
  FrameCache cache;
  cache.budget_bytes = uint64_t{1} << 30;
  for (int64_t f = kPlayhead; f < kPlayhead + 4000; ++f) {
    std::vector<uint8_t> px(64, 1);
    ASSERT_TRUE(cache_rendered_frame(cache, at30(f), RgbaFrame{PixelPayload::adopt(px), 0, 4, 4}));
  }

  request_store_loads(feed, ctl, cache);
  EXPECT_EQ(feed.load_passes, 1u);
  EXPECT_EQ(feed.requested.size(), 96u) << "the window's frames the cache lacks";
  EXPECT_EQ(ctl.store_pending.count(at30(kPlayhead + 4000)), 1u);
  EXPECT_EQ(ctl.store_pending.count(at30(kPlayhead + 4095)), 1u);

  struct Step {
    const char* name;
    std::function<void()> change;
    bool pass;            // the window is gone through again
    size_t requested;     // keys asked for so far
  } steps[] = {
      {"nothing changed", [] {}, false, 96},
      {"the store answered one: missing", [&] { ctl.store_pending.erase(at30(kPlayhead + 4000)); }, false, 96},
      {"the playhead moved on", [&] { ctl.playhead.frame = kPlayhead + 100; }, true, 196},
      {"a frame cached",
       [&] {
         std::vector<uint8_t> px(64, 2);
         ASSERT_TRUE(cache_rendered_frame(cache, at30(0), RgbaFrame{PixelPayload::adopt(px), 0, 4, 4}));
       },
       true, 196},
      {"the work area narrowed", [&] { ctl.work_area = {kPlayhead, kPlayhead + 5000}; }, true, 196},
      {"nothing changed again", [] {}, false, 196},
  };
  uint64_t passes = feed.load_passes;
  for (Step& s : steps) {
    SCOPED_TRACE(s.name);
    s.change();
    request_store_loads(feed, ctl, cache);
    passes += s.pass ? 1 : 0;
    EXPECT_EQ(feed.load_passes, passes);
    EXPECT_EQ(feed.requested.size(), s.requested);
  }
}

}  // namespace
}  // namespace vel
