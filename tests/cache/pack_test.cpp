#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "cache/archive.h"
#include "cache/eviction.h"
#include "cache/frame_cache_ops.h"
#include "cache/pack_idle.h"
#include "cache/pack_worker.h"
#include "cache/unpack_frame.h"
#include "pack_test_support.h"
#include "byte_sizes.h"

namespace vel {
namespace {

using namespace std::chrono_literals;
using testing::gradient_frame;
using testing::LogCapture;
using testing::noise_frame;

uint32_t header_of(const std::vector<uint8_t>& packed) {
  uint32_t h = 0;
  std::memcpy(&h, packed.data(), 4);
  return h;  // little-endian host
}

TEST(PackTest, PackedFramesRoundTrip) {
  struct Case {
    const char* name;
    RgbaFrame frame;
    bool shrinks;
  } cases[] = {
      {"one pixel", gradient_frame(1, 1, 3), false},
      {"odd size", gradient_frame(7, 3, 9), true},
      {"gradient", gradient_frame(64, 64, 1), true},
      {"noise", noise_frame(64, 64, 5), false},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> packed = pack_frame(c.frame.pixels.bytes());
    ASSERT_GE(packed.size(), 5u) << c.name;
    EXPECT_EQ(packed.capacity(), packed.size()) << c.name << ": accounted by capacity, so no slack";
    EXPECT_EQ(header_of(packed), c.frame.pixels.size()) << c.name;
    EXPECT_EQ(packed.size() < c.frame.pixels.size(), c.shrinks) << c.name;
    std::optional<RgbaFrame> back = unpack_packed_frame(c.frame.width, c.frame.height, packed, 1.5);
    ASSERT_TRUE(back) << c.name;
    EXPECT_EQ(back->time, 1.5);
    ASSERT_EQ(back->pixels.size(), c.frame.pixels.size()) << c.name;
    EXPECT_EQ(std::memcmp(back->pixels.data(), c.frame.pixels.data(), back->pixels.size()), 0) << c.name;
  }
}

// Polls the link until a result is ready (bounded).
bool wait_result(PackLink& link) {
  for (int i = 0; i < 5000; ++i) {
    {
      std::lock_guard lock(link.channel->mutex);
      if (!link.channel->results.empty() || link.channel->worker_gone) return true;
    }
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

TEST(PackTest, LinkAccountsTheJobInFlight) {
  BackgroundWorkerRegistry reg;
  std::optional<PackLink> link = start_pack_worker(reg);
  ASSERT_TRUE(link);
  RgbaFrame f = gradient_frame(10, 10, 1);
  send_pack_job(*link, FrameKey{3, 25}, f);
  EXPECT_TRUE(link->job_in_flight);
  EXPECT_EQ(link->bytes_in_flight, 2 * (400 * 110 / 100 + 24));
  ASSERT_TRUE(wait_result(*link));
  std::optional<PackResult> r = receive_pack_result(*link);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->key, (FrameKey{3, 25}));
  EXPECT_TRUE(same_payload(r->pixels, f.pixels));
  EXPECT_FALSE(link->job_in_flight);
  EXPECT_EQ(link->bytes_in_flight, 0u);

  // A stopped worker: sending drops the job and accounts nothing.
  reg.drain();
  send_pack_job(*link, FrameKey{4, 25}, f);
  EXPECT_FALSE(link->job_in_flight);
  EXPECT_EQ(link->bytes_in_flight, 0u);
  EXPECT_FALSE(receive_pack_result(*link));
}

TEST(PackTest, DroppingTheLinkEndsTheWorker) {
  BackgroundWorkerRegistry reg;
  std::optional<PackLink> link = start_pack_worker(reg);
  ASSERT_TRUE(link);
  EXPECT_EQ(reg.live_count(), 1u);
  link.reset();
  for (int i = 0; i < 5000 && reg.live_count() != 0; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(reg.live_count(), 0u);
}

// A cache of `frames` 16×16 frames at 25 fps, work range [0, frames), focus
// on frame 0.
struct PackFixture {
  BackgroundWorkerRegistry reg;
  FrameCache cache;
  std::vector<FrameKey> keys;

  explicit PackFixture(int frames = 100) {
    cache.work_range = frame_range_micros(1, 25, 0, frames - 1);
    for (int i = 0; i < frames; ++i) {
      keys.push_back(FrameKey{i, 25});
      insert_frame(cache, keys.back(), gradient_frame(16, 16, static_cast<uint8_t>(i), i / 25.0));
    }
    set_playhead_focus(cache, keys[0]);
  }
  ~PackFixture() { reg.drain(); }

  // One idle tick; waits for the job it sent, so the next tick sees the result.
  bool tick(double d, bool on = true) {
    pack_idle_frames(cache, d, on, reg);
    if (!cache.pack_link || !cache.pack_link->job_in_flight) return false;
    EXPECT_TRUE(wait_result(*cache.pack_link));
    return true;
  }
  // Ticks until `idle` ticks in a row sent nothing.
  void pump(double d, int idle = 2) {
    for (int quiet = 0, n = 0; quiet < idle && n < 10000; ++n) quiet = tick(d) ? 0 : quiet + 1;
  }
  bool packed(int i) { return cache.index.at(keys[i]).is_packed(); }
};

TEST(PackTest, FarFramesPackFarthestFirst) {
  PackFixture fx;
  const double d = pack_min_distance_seconds(1, 25);
  // The first results arrive farthest first.
  for (int n = 0; n < 3; ++n) fx.tick(d);
  fx.tick(d);
  EXPECT_TRUE(fx.packed(99) && fx.packed(98) && fx.packed(97));
  EXPECT_FALSE(fx.packed(95));
  fx.pump(d);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(fx.packed(i), i >= 57) << i;

  fx.pump(0.0);  // after a raster fill pass: all but the playhead
  for (int i = 0; i < 100; ++i) EXPECT_EQ(fx.packed(i), i != 0) << i;

  // Packed entries keep their time and unpack to the inserted pixels.
  const PackedFrame& p = *fx.cache.index.at(fx.keys[42]).packed();
  EXPECT_DOUBLE_EQ(p.time, 42 / 25.0);
  std::optional<RgbaFrame> back = unpack_packed_frame(p.width, p.height, p.packed.bytes(), p.time);
  ASSERT_TRUE(back);
  RgbaFrame want = gradient_frame(16, 16, 42);
  EXPECT_EQ(std::memcmp(back->pixels.data(), want.pixels.data(), want.pixels.size()), 0);
}

TEST(PackTest, SharedFrameIsDeferredUntilReleased) {
  PackFixture fx;
  std::optional<RgbaFrame> shown = cached_frame(fx.cache, fx.keys[80]);  // the panel holds it
  ASSERT_TRUE(shown);
  fx.pump(2.24);
  EXPECT_FALSE(fx.packed(80));
  EXPECT_TRUE(fx.packed(81) && fx.packed(79));
  shown.reset();
  fx.pump(2.24, /*idle=*/70);  // deferred frames come back every 64 calls
  EXPECT_TRUE(fx.packed(80));
}

// Identical frames arriving back to back share one payload. Which frames
// those are depends on the order renders come back in; a far frame among
// them must pack like any other, not wait for a sole holder that never comes.
TEST(PackTest, DeduplicatedFarFramesPack) {
  PackFixture fx;
  const uint64_t hits = fx.cache.dedup_hits;
  for (int i = 90; i < 100; ++i) insert_frame(fx.cache, fx.keys[i], gradient_frame(16, 16, 7, i / 25.0));
  ASSERT_EQ(fx.cache.dedup_hits, hits + 9) << "frames 90..99 share one payload";
  const WeakPixelPayload shared = fx.cache.index.at(fx.keys[95]).raw()->pixels.downgrade();
  fx.pump(pack_min_distance_seconds(1, 25), /*idle=*/70);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(fx.packed(i), i >= 57) << i;
  EXPECT_TRUE(shared.expired()) << "the shared raw pixels went back once every frame holding them was packed";

  // Held from outside the cache as well (the panel shows it), it waits.
  PackFixture held;
  for (int i = 90; i < 100; ++i) insert_frame(held.cache, held.keys[i], gradient_frame(16, 16, 7, i / 25.0));
  const PixelPayload shown = held.cache.index.at(held.keys[95]).raw()->pixels;
  const uint64_t outside = shown.strong_count() - 10 - 1;  // ten entries, the last payload
  ASSERT_EQ(outside, 1u);
  held.pump(pack_min_distance_seconds(1, 25), /*idle=*/70);
  for (int i = 90; i < 100; ++i) EXPECT_FALSE(held.packed(i)) << i;
  EXPECT_TRUE(held.packed(89));
}

TEST(PackTest, ResultsThatNoLongerApplyAreNotInstalled) {
  struct Case {
    const char* name;
    std::function<void(PackFixture&)> meanwhile;
    bool cached, raw, candidate;
  } cases[] = {
      {"evicted", [](PackFixture& fx) { evict_frame(fx.cache, fx.keys[99]); }, false, false, false},
      {"replaced", [](PackFixture& fx) { insert_frame(fx.cache, fx.keys[99], gradient_frame(16, 16, 200)); }, true, true, false},
      {"playhead came near", [](PackFixture& fx) { set_playhead_focus(fx.cache, fx.keys[98]); }, true, true, true},
  };
  for (const Case& c : cases) {
    PackFixture fx;
    ASSERT_TRUE(fx.tick(2.24)) << c.name;  // frame 99 is with the worker
    c.meanwhile(fx);
    fx.cache.pack_candidates.clear();       // only the result can bring 99 back
    pack_idle_frames(fx.cache, 2.24, true, fx.reg);
    auto it = fx.cache.index.find(fx.keys[99]);
    EXPECT_EQ(it != fx.cache.index.end(), c.cached) << c.name;
    if (it != fx.cache.index.end()) {
      EXPECT_EQ(it->second.is_raw(), c.raw) << c.name;
    }
    EXPECT_EQ(fx.cache.pack_candidates.count(TimedKey::of(fx.keys[99])) == 1, c.candidate) << c.name;
  }
}

TEST(PackTest, FramesThatDoNotShrinkStayRawAndAreNotRetried) {
  PackFixture fx(10);
  insert_frame(fx.cache, fx.keys[9], noise_frame(16, 16, 1));
  fx.pump(0.0);
  EXPECT_TRUE(fx.cache.index.at(fx.keys[9]).is_raw());
  EXPECT_TRUE(fx.packed(8));
  EXPECT_EQ(fx.cache.pack_candidates.count(TimedKey::of(fx.keys[9])), 0u);
}

TEST(PackTest, OversizedFramesAreNeverPacked) {
  struct Case {
    uint32_t height;
    bool packs;
  } cases[] = {{1024, true}, {1025, false}};  // 1024 wide: 4 MiB is the limit at a 16 MiB budget
  for (const Case& c : cases) {
    PackFixture fx(2);
    fx.cache.budget_bytes = 16 * kMiB;
    insert_frame(fx.cache, fx.keys[1], gradient_frame(1024, c.height, 1, 0.04));
    fx.pump(0.0);
    EXPECT_EQ(fx.packed(1), c.packs) << c.height;
  }
}

TEST(PackTest, RestoredCompositionStillPacks) {
  PackFixture fx(10);
  fx.pump(0.0);
  ASSERT_TRUE(fx.packed(9));
  insert_frame(fx.cache, fx.keys[9], gradient_frame(16, 16, 9, 9 / 25.0));  // raw again
  set_aside_comp_frames(fx.cache, 1);
  ASSERT_EQ(restore_cached_comp(fx.cache, 1), 10u);
  fx.cache.work_range = frame_range_micros(1, 25, 0, 9);
  ASSERT_FALSE(fx.packed(9));
  fx.pump(0.0);
  EXPECT_TRUE(fx.packed(9)) << "a raw frame that came back from the archive packs like any other";
}

TEST(PackTest, NothingPacksWhenSwitchedOffOrWithoutAWorker) {
  {
    PackFixture fx(10);
    pack_idle_frames(fx.cache, 0.0, /*packing_switch=*/false, fx.reg);
    EXPECT_FALSE(fx.cache.pack_link);
  }
  {
    LogCapture log;
    PackFixture fx(10);
    std::atomic<bool> stop{false};
    for (size_t i = 0; i < kBackgroundWorkerLimit; ++i) {
      ASSERT_TRUE(fx.reg.start("velocinta-test", [&] { while (!stop) std::this_thread::sleep_for(1ms); }, [&] { stop = true; }).ok());
    }
    fx.pump(0.0);
    EXPECT_FALSE(fx.cache.pack_link);
    EXPECT_TRUE(log.contains("cache: background worker limit reached"));
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(fx.packed(i));
    // Once a worker can start, the frames passed over meanwhile still pack.
    fx.reg.drain();
    fx.pump(0.0);
    for (int i = 1; i < 10; ++i) EXPECT_TRUE(fx.packed(i)) << i;
  }
}

}  // namespace
}  // namespace vel
