// The loads asked of the disk store on a ten-hour composition: one pass over
// the playhead's window finds the frames to ask for; afterwards only the
// frames that came into the window and the keys the cache noted are looked
// at, a tick with nothing new looks at none, and at every step the keys
// asked for are those a fresh pass over the window asks for.
#include <gtest/gtest.h>

#include "cache/eviction.h"
#include "cache/frame_cache_ops.h"
#include "plugin/store_feed.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

constexpr int64_t kTenHours = 10 * 3600 * 30;
constexpr int64_t kPlayhead = 540000;

FrameKey at30(int64_t frame) { return FrameKey{static_cast<int32_t>(frame), 30}; }

struct Loads {
  StoreFeed feed;
  PreviewController ctl = make_preview_controller(1, 0);

  explicit Loads(const testing::ScratchDir& scratch) {
    feed.handle = spawn_store_worker(scratch.path() / "store");
    feed.stream = StoreStreamIdentity{1, "Main", (scratch.path() / "p.aep").string()};
    ctl.timing = CompFrameTiming{1, 30, static_cast<int32_t>(kTenHours), 30};
    ctl.frame_count = kTenHours;
    ctl.current_frame = kPlayhead;
    ctl.playhead.frame = kPlayhead;
    // The store listed a long stretch from the playhead on.
    feed.listed = true;
    for (int64_t f = kPlayhead; f < kPlayhead + 10000; ++f) feed.on_disk.insert(at30(f));
  }
};

TEST(StoreLoads, AskedOnceThenOnlyWhatChangedIsLookedAtAndTheKeysAreThoseOfAFreshPass) {
  testing::ScratchDir scratch("vel-loads");
  ASSERT_TRUE(scratch.ok());
  Loads kept(scratch);
  Loads fresh(scratch);  // goes through the whole window at every call
  ASSERT_TRUE(kept.feed.handle.live());
  FrameCache cache;
  cache.budget_bytes = uint64_t{1} << 30;
  for (int64_t f = kPlayhead; f < kPlayhead + 4000; ++f) {
    std::vector<uint8_t> px(64, 1);
    ASSERT_TRUE(cache_rendered_frame(cache, at30(f), RgbaFrame{PixelPayload::adopt(px), 0, 4, 4}));
  }
  auto loads = [&] {
    request_store_loads(kept.feed, kept.ctl, cache);
    fresh.feed.loads_basis.reset();
    request_store_loads(fresh.feed, fresh.ctl, cache);
    EXPECT_EQ(kept.feed.requested, fresh.feed.requested);
    EXPECT_EQ(kept.ctl.store_pending.size(), fresh.ctl.store_pending.size());
  };

  loads();
  EXPECT_EQ(kept.feed.load_passes, 1u);
  EXPECT_EQ(kept.feed.requested.size(), 96u) << "the window's frames the cache lacks";
  EXPECT_EQ(kept.ctl.store_pending.count(at30(kPlayhead + 4000)), 1u);
  EXPECT_EQ(kept.ctl.store_pending.count(at30(kPlayhead + 4095)), 1u);

  struct Step {
    const char* name;
    std::function<void(Loads&)> change;  // to each controller
    std::function<void()> cache_change;
    bool pass;           // the whole window gone through again
    uint64_t looked_at;  // else the frames looked at
    size_t requested;    // keys asked for so far
  } steps[] = {
      {"nothing changed", [](Loads&) {}, [] {}, false, 0, 96},
      {"the store answered one: missing", [](Loads& l) { l.ctl.store_pending.erase(at30(kPlayhead + 4000)); },
       [] {}, false, 0, 96},
      {"the playhead moved on", [](Loads& l) { l.ctl.playhead.frame = kPlayhead + 100; }, [] {}, false, 100, 196},
      {"a frame cached outside the window", [](Loads&) {},
       [&] {
         std::vector<uint8_t> px(64, 2);
         ASSERT_TRUE(cache_rendered_frame(cache, at30(0), RgbaFrame{PixelPayload::adopt(px), 0, 4, 4}));
       },
       false, 0, 196},
      {"a frame of the window put out", [](Loads&) {}, [&] { evict_frame(cache, at30(kPlayhead + 200)); }, false, 1,
       197},
      {"the playhead stepped back", [](Loads& l) { l.ctl.playhead.frame = kPlayhead + 98; }, [] {}, false, 2, 197},
      {"the work area narrowed", [](Loads& l) { l.ctl.work_area = {kPlayhead, kPlayhead + 5000}; }, [] {}, true, 0,
       197},
      {"a jump far away", [](Loads& l) { l.ctl.playhead.frame = kPlayhead + 3000; }, [] {}, true, 0, 1002},
      {"nothing changed again", [](Loads&) {}, [] {}, false, 0, 1002},
  };
  for (Step& s : steps) {
    SCOPED_TRACE(s.name);
    s.change(kept);
    s.change(fresh);
    s.cache_change();
    const uint64_t passes = kept.feed.load_passes;
    const uint64_t looked = kept.feed.load_frames_looked_at;
    loads();
    EXPECT_EQ(kept.feed.load_passes, passes + (s.pass ? 1 : 0));
    if (!s.pass) {
      EXPECT_EQ(kept.feed.load_frames_looked_at, looked + s.looked_at);
    }
    EXPECT_EQ(kept.feed.requested.size(), s.requested);
  }
}

// Only what the store holds is asked for, and so awaited: a frame it lacks
// is rendered at once. Until its listing comes, the window waits for its
// word; the listing answers at once for the frames it does not hold.
TEST(StoreLoads, OnlyTheFramesTheStoreListedAreAwaited) {
  testing::ScratchDir scratch("vel-loads-listed");
  ASSERT_TRUE(scratch.ok());
  Loads l(scratch);
  FrameCache cache;
  cache.budget_bytes = uint64_t{1} << 30;
  std::vector<uint8_t> px(64, 1);
  ASSERT_TRUE(cache_rendered_frame(cache, at30(kPlayhead + 1), RgbaFrame{PixelPayload::adopt(px), 0, 4, 4}));
  l.feed.listed = false;
  l.feed.on_disk.clear();
  request_store_loads(l.feed, l.ctl, cache);
  EXPECT_EQ(l.ctl.store_pending.size(), 4095u) << "the window the cache lacks waits for the listing";
  EXPECT_TRUE(l.feed.requested.empty()) << "nothing asked before the store said what it holds";

  std::vector<FrameKey> listed;
  for (int64_t f = kPlayhead + 10; f < kPlayhead + 20; ++f) listed.push_back(at30(f));
  listed.push_back(at30(kPlayhead + 9000));  // on disk, outside the window
  take_store_listing(l.feed, l.ctl, listed);
  request_store_loads(l.feed, l.ctl, cache);  // in the same tick, before the producers
  EXPECT_EQ(l.ctl.store_pending.size(), 10u) << "those the store lacks are rendered at once";
  EXPECT_EQ(l.feed.requested.size(), 10u) << "only what it holds is asked for";
  for (int64_t f = kPlayhead + 10; f < kPlayhead + 20; ++f) EXPECT_EQ(l.feed.requested.count(at30(f)), 1u) << f;
}

}  // namespace
}  // namespace vel
