// The worlds the tick's benchmarks time (bench/tick_worlds.h) are what the
// benchmarks' names say, and the tick's passes over the frames follow what
// changed in them: a paused world whose playhead's window is the cached
// part and where a tick looks at no frame; a playing world where each frame
// shown (the playhead stepping on, an unpack finished, a frame packed)
// costs the passes a frame or two, not the cache's 4000; a filling world
// where each frame cached costs them a frame, and the delivery queue weighs
// the frames it hands out, not the thousands the window still lacks; a
// world filling from the disk store where the thousands of keys awaited
// from it cost a tick nothing each.
#include <gtest/gtest.h>

#include "../../bench/tick_worlds.h"

namespace vel {
namespace {

using bench::FillingWorld;
using bench::PausedWorld;
using bench::PlayingWorld;
using bench::StoreFillingWorld;

// Frames and keys the three passes looked at so far, and their whole passes.
struct Looked {
  uint64_t frames = 0;
  uint64_t passes = 0;
};
Looked looked(const bench::TickWorld& w) {
  return {w.feed.load_frames_looked_at + w.ctl.delivery_window.frames_looked_at + w.strip.keys_visited,
          w.feed.load_passes + w.ctl.delivery_window.passes + w.strip.passes};
}

TEST(TickWorlds, PausedTheWindowIsTheCachedPartAndATickLooksAtNoFrame) {
  for (const int64_t seconds : {int64_t{10}, int64_t{10 * 3600}}) {
    SCOPED_TRACE(seconds);
    PausedWorld w(seconds);
    EXPECT_EQ(w.ctl.playhead.frame, seconds * 30 / 2);
    EXPECT_EQ(w.queue_tick(), 0u) << "every frame of the playhead's window is cached";
    EXPECT_TRUE(w.ctl.store_pending.empty());
    EXPECT_TRUE(w.strip_tick());
    const Looked first = looked(w);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(w.queue_tick(), 0u);
      EXPECT_FALSE(w.strip_tick());
    }
    EXPECT_EQ(looked(w).frames, first.frames);
    EXPECT_EQ(looked(w).passes, first.passes);
  }
}

TEST(TickWorlds, PlayingAFullCacheEachFrameShownLooksAtAFewFramesWhateverTheFramesCached) {
  for (const int64_t frames : {int64_t{300}, int64_t{4000}}) {
    SCOPED_TRACE(frames);
    PlayingWorld w(frames);
    ASSERT_EQ(w.cache.index.size(), static_cast<size_t>(frames));
    const Looked before = looked(w);
    for (int i = 0; i < 200; ++i) {
      const uint64_t generation = w.cache.generation;
      const FrameKey ahead = bench::frame_key(w.wrap(w.ctl.playhead.frame + 1 + PlayingWorld::kRaw));
      ASSERT_FALSE(cached_frame(w.cache, ahead)) << "packed until the playhead comes near";
      EXPECT_EQ(w.step(), 0u);
      EXPECT_TRUE(cached_frame(w.cache, ahead)) << "unpacked as the playhead came";
      EXPECT_GT(w.cache.generation, generation);
    }
    EXPECT_EQ(w.cache.index.size(), static_cast<size_t>(frames));
    EXPECT_EQ(looked(w).passes, before.passes) << "no pass over the whole window or cache";
    EXPECT_LE(looked(w).frames - before.frames, 200u) << "an unpack or a pack changes no key";
  }
}

TEST(TickWorlds, FillingEachFrameCachedLooksAtItAloneWhateverTheFramesCached) {
  for (const int64_t frames : {int64_t{300}, int64_t{4000}}) {
    SCOPED_TRACE(frames);
    FillingWorld w(frames);
    EXPECT_TRUE(w.ctl.store_pending.empty()) << "nothing asked of a store that holds none of the frames";
    const Looked before = looked(w);
    for (int64_t i = 0; i < 250; ++i) EXPECT_EQ(w.step(), static_cast<size_t>(frames - i - 1));
    EXPECT_EQ(w.cache.index.size(), 250u);
    EXPECT_EQ(looked(w).passes, before.passes);
    // The new key, once in each pass.
    EXPECT_EQ(looked(w).frames - before.frames, 3u * 250u);
  }
}

TEST(TickWorlds, FillingEachTickWeighsTheQueuesFrontNotEveryLackingFrame) {
  for (const int64_t frames : {int64_t{300}, int64_t{4000}}) {
    SCOPED_TRACE(frames);
    FillingWorld w(frames);
    const uint64_t before = w.ctl.delivery_window.frames_weighed;
    for (int64_t i = 0; i < 250; ++i) w.step();
    // The front entry the tick reads, once a tick.
    EXPECT_LE(w.ctl.delivery_window.frames_weighed - before, 250u);
  }
}

TEST(TickWorlds, FillingFromTheStoreTheKeysAwaitedCostATickNothingEach) {
  for (const int64_t frames : {int64_t{300}, int64_t{4000}}) {
    SCOPED_TRACE(frames);
    StoreFillingWorld w(frames);
    EXPECT_EQ(w.ctl.store_pending.size(), static_cast<size_t>(frames)) << "the window asked of the store at once";
    EXPECT_EQ(w.ctl.delivery_window.lacking.size(), 0u) << "nothing to render: the store gives them all";
    const Looked before = looked(w);
    const uint64_t weighed = w.ctl.delivery_window.frames_weighed;
    for (int64_t i = 0; i < 250; ++i) EXPECT_EQ(w.step(), 0u);
    EXPECT_EQ(w.ctl.store_pending.size(), static_cast<size_t>(frames - 250));
    EXPECT_EQ(looked(w).passes, before.passes);
    // The frame cached, once in each pass, and its key answered, once in
    // the delivery window.
    EXPECT_EQ(looked(w).frames - before.frames, 4u * 250u);
    EXPECT_EQ(w.ctl.delivery_window.frames_weighed, weighed) << "no awaited key weighed";
  }
}

}  // namespace
}  // namespace vel
