// The loads asked of the disk store on a ten-hour composition: one pass over
// the playhead's window finds the frames to ask for; afterwards only the
// frames that came into the window and the keys the cache noted are looked
// at, a tick with nothing new looks at none, and at every step the keys
// awaited are those a fresh pass over the window awaits. What keeps a frame
// from being asked twice is the answer awaited, not a record of what was
// once asked: a frame the cache let go is asked for again.
#include <gtest/gtest.h>

#include <functional>

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

// Frames [from, to) of 4 × 4 pixels in a cache with room for them.
void fill(FrameCache& cache, int64_t from, int64_t to) {
  cache.budget_bytes = uint64_t{1} << 30;
  for (int64_t f = from; f < to; ++f) {
    std::vector<uint8_t> px(64, 1);
    EXPECT_TRUE(cache_rendered_frame(cache, at30(f), RgbaFrame{PixelPayload::adopt(px), 0, 4, 4}));
  }
}

TEST(StoreLoads, AskedOnceThenOnlyWhatChangedIsLookedAtAndTheKeysAreThoseOfAFreshPass) {
  testing::ScratchDir scratch("vel-loads");
  ASSERT_TRUE(scratch.ok());
  Loads kept(scratch);
  Loads fresh(scratch);  // goes through the whole window at every call
  ASSERT_TRUE(kept.feed.handle.live());
  FrameCache cache;
  fill(cache, kPlayhead, kPlayhead + 4000);
  auto loads = [&] {
    request_store_loads(kept.feed, kept.ctl, cache);
    fresh.feed.loads_basis.reset();
    request_store_loads(fresh.feed, fresh.ctl, cache);
    EXPECT_EQ(kept.ctl.store_pending.size(), fresh.ctl.store_pending.size());
  };

  loads();
  EXPECT_EQ(kept.feed.load_passes, 1u);
  EXPECT_EQ(kept.ctl.store_pending.size(), 96u) << "the window's frames the cache lacks";
  EXPECT_EQ(kept.ctl.store_pending.count(at30(kPlayhead + 4000)), 1u);
  EXPECT_EQ(kept.ctl.store_pending.count(at30(kPlayhead + 4095)), 1u);

  struct Step {
    const char* name;
    std::function<void(Loads&)> change;  // to each controller
    std::function<void()> cache_change;
    bool pass;           // the whole window gone through again
    uint64_t looked_at;  // else the frames looked at
    size_t awaited;      // keys awaited from the store
  } steps[] = {
      {"nothing changed", [](Loads&) {}, [] {}, false, 0, 96},
      {"the store answered one: missing",
       [](Loads& l) {
         l.ctl.store_pending.erase(at30(kPlayhead + 4000));
         l.feed.on_disk.erase(at30(kPlayhead + 4000));
       },
       [] {}, false, 0, 95},
      {"the playhead moved on", [](Loads& l) { l.ctl.playhead.frame = kPlayhead + 100; }, [] {}, false, 100, 195},
      {"the store's answer cached", [](Loads& l) { l.ctl.store_pending.erase(at30(kPlayhead + 4100)); },
       [&] {
         std::vector<uint8_t> px(64, 3);
         ASSERT_TRUE(cache_rendered_frame(cache, at30(kPlayhead + 4100), RgbaFrame{PixelPayload::adopt(px), 0, 4, 4}));
       },
       false, 1, 194},
      {"that frame put out again", [](Loads&) {}, [&] { evict_frame(cache, at30(kPlayhead + 4100)); }, false, 1, 195},
      {"a frame cached outside the window", [](Loads&) {},
       [&] {
         std::vector<uint8_t> px(64, 2);
         ASSERT_TRUE(cache_rendered_frame(cache, at30(0), RgbaFrame{PixelPayload::adopt(px), 0, 4, 4}));
       },
       false, 0, 195},
      {"a frame of the window put out", [](Loads&) {}, [&] { evict_frame(cache, at30(kPlayhead + 200)); }, false, 1,
       196},
      {"the playhead stepped back", [](Loads& l) { l.ctl.playhead.frame = kPlayhead + 98; }, [] {}, false, 2, 196},
      {"the work area narrowed", [](Loads& l) { l.ctl.work_area = {kPlayhead, kPlayhead + 5000}; }, [] {}, true, 0,
       196},
      {"a jump far away", [](Loads& l) { l.ctl.playhead.frame = kPlayhead + 3000; }, [] {}, true, 0, 1001},
      {"nothing changed again", [](Loads&) {}, [] {}, false, 0, 1001},
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
    EXPECT_EQ(kept.ctl.store_pending.size(), s.awaited);
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
  fill(cache, kPlayhead + 1, kPlayhead + 2);
  l.feed.listed = false;
  l.feed.on_disk.clear();
  request_store_loads(l.feed, l.ctl, cache);
  EXPECT_EQ(l.ctl.store_pending.size(), 4095u) << "the window the cache lacks waits for the listing";

  std::vector<FrameKey> listed;
  for (int64_t f = kPlayhead + 10; f < kPlayhead + 20; ++f) listed.push_back(at30(f));
  listed.push_back(at30(kPlayhead + 9000));  // on disk, outside the window
  take_store_listing(l.feed, l.ctl, cache, listed);
  request_store_loads(l.feed, l.ctl, cache);  // in the same tick, before the producers
  EXPECT_EQ(l.ctl.store_pending.size(), 10u) << "only what it holds is asked for, the rest rendered at once";
  for (int64_t f = kPlayhead + 10; f < kPlayhead + 20; ++f) EXPECT_EQ(l.ctl.store_pending.count(at30(f)), 1u) << f;
}

// The frames the opening's preload sends are awaited from the listing on,
// in or out of the window, so that the loads do not ask for them a second
// time behind it; once the stream is open, those it did not send are asked
// for if the window lacks them.
TEST(StoreLoads, ThePreloadsFramesAreAwaitedUntilTheStreamIsOpen) {
  testing::ScratchDir scratch("vel-loads-preload");
  ASSERT_TRUE(scratch.ok());
  Loads l(scratch);
  FrameCache cache;
  fill(cache, 0, 0);
  l.feed.listed = false;
  l.feed.on_disk.clear();
  l.feed.preload_from = at30(kPlayhead + 13).value;
  l.feed.preload_count = 4;
  std::vector<FrameKey> listed;
  for (const int64_t f : {10, 11, 12, 13, 14, 9000, 9001, 9002}) listed.push_back(at30(kPlayhead + f));
  take_store_listing(l.feed, l.ctl, cache, listed);
  request_store_loads(l.feed, l.ctl, cache);
  for (const int64_t f : {10, 11, 12, 13, 14, 9000, 9001}) {
    EXPECT_EQ(l.ctl.store_pending.count(at30(kPlayhead + f)), 1u) << f;
  }
  EXPECT_EQ(l.ctl.store_pending.size(), 7u) << "the preload sends four, beyond the window too";

  StoreReply opened{0, OpenedReply{0}};
  take_store_reply(l.feed, l.ctl, cache, opened);
  request_store_loads(l.feed, l.ctl, cache);
  EXPECT_EQ(l.ctl.store_pending.size(), 5u) << "the window's frames asked for, the rest no longer awaited";
  for (const int64_t f : {10, 11, 12, 13, 14}) EXPECT_EQ(l.ctl.store_pending.count(at30(kPlayhead + f)), 1u) << f;
}

// What the store answered decides whether a frame of the window is asked
// for again: a frame it gave and the cache let go comes from it again; one
// it could not give (no file, a file that is no frame of this size) is
// rendered, until the frame is written again.
TEST(StoreLoads, TheStoresAnswersDecideWhetherAFrameIsAskedAgain) {
  const FrameKey k = at30(kPlayhead + 4050);
  auto answer = [](Loads& l, FrameCache& c, decltype(StoreReply::body) body) {
    StoreReply r{0, std::move(body)};
    take_store_reply(l.feed, l.ctl, c, r);
  };
  auto frame = [&](size_t bytes) {
    std::vector<uint8_t> px(bytes, 5);
    return FrameReply{LoadedFrame{k, PixelPayload::adopt(px), 0, 4, 4}};
  };
  struct Case {
    const char* name;
    std::function<void(Loads&, FrameCache&)> events;
    bool asked_again;
  } cases[] = {
      {"loaded, then let go by the cache",
       [&](Loads& l, FrameCache& c) {
         answer(l, c, frame(64));
         ASSERT_TRUE(contains_frame(c, k));
         evict_frame(c, k);
       },
       true},
      {"loaded and still cached", [&](Loads& l, FrameCache& c) { answer(l, c, frame(64)); }, false},
      {"still awaited", [](Loads&, FrameCache&) {}, true},
      {"missing", [&](Loads& l, FrameCache& c) { answer(l, c, MissingReply{{k}}); }, false},
      {"a file that is no frame of this size", [&](Loads& l, FrameCache& c) { answer(l, c, frame(10)); }, false},
      {"missing, rendered, written again, let go",
       [&](Loads& l, FrameCache& c) {
         answer(l, c, MissingReply{{k}});
         std::vector<uint8_t> px(64, 6);
         ASSERT_TRUE(cache_rendered_frame(c, k, RgbaFrame{PixelPayload::adopt(px), 0, 4, 4}));
         answer(l, c, SavedReply{k, 0});
         evict_frame(c, k);
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScratchDir scratch("vel-loads-answers");
    ASSERT_TRUE(scratch.ok());
    Loads l(scratch);
    FrameCache cache;
    fill(cache, kPlayhead, kPlayhead + 4000);
    request_store_loads(l.feed, l.ctl, cache);
    ASSERT_EQ(l.ctl.store_pending.count(k), 1u);
    c.events(l, cache);
    // A pass over the whole window, as after a jump of the playhead.
    l.feed.loads_basis.reset();
    request_store_loads(l.feed, l.ctl, cache);
    EXPECT_EQ(l.ctl.store_pending.count(k), c.asked_again ? 1u : 0u);
  }
}

}  // namespace
}  // namespace vel
