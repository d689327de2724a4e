#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "cache/eviction.h"
#include "cache/frame_cache_ops.h"
#include "cache/pack_worker.h"
#include "cache/payload_accounting.h"
#include "cache/unpack_frame.h"
#include "cache/unpack_worker.h"
#include "pack_test_support.h"

namespace vel {
namespace {

using namespace std::chrono_literals;
using testing::gradient_frame;
using testing::LogCapture;
using testing::noise_frame;

constexpr uint64_t kNoLimit = UINT64_MAX;

PixelPayload packed_of(const RgbaFrame& f) { return PixelPayload::adopt(pack_frame(f.pixels.bytes())); }

UnpackJob job(PixelPayload packed, int32_t value, uint32_t scale = 1, uint32_t w = 4, uint32_t h = 4) {
  return UnpackJob{std::move(packed), FrameKey{value, scale}, scale ? double(value) / scale : 0.0, w, h};
}

size_t key_count(UnpackQueue& q) {
  size_t n = 0;
  for (const UnpackSlot& s : q.slots) n += s.keys.size();
  return n;
}

TEST(UnpackTest, RefusesMalformedPackedBytes) {
  RgbaFrame f = gradient_frame(8, 8, 1);
  std::vector<uint8_t> good = pack_frame(f.pixels.bytes());
  std::vector<uint8_t> small = pack_frame(gradient_frame(4, 4, 1).pixels.bytes());
  auto with_header = [](std::vector<uint8_t> v, uint32_t h) {
    std::memcpy(v.data(), &h, 4);
    return v;
  };
  struct Case {
    const char* name;
    uint32_t w, h;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"header disagrees with size", 8, 8, with_header(good, 255)},
      {"shorter than a header", 8, 8, {0, 1, 0}},
      {"zero width", 0, 8, good},
      {"size beyond 32 bits", 65536, 65536, good},
      {"truncated block", 8, 8, std::vector<uint8_t>(good.begin(), good.end() - 1)},
      {"block decodes short", 8, 8, with_header(small, 256)},
      {"block decodes long", 4, 4, with_header(good, 64)},
  };
  for (const Case& c : cases) EXPECT_FALSE(unpack_packed_frame(c.w, c.h, c.bytes, 0.0)) << c.name;
}

TEST(UnpackTest, IdenticalSmallFramesShareOnePayload) {
  struct Case {
    const char* name;
    RgbaFrame a, b;
    bool shared;
  } cases[] = {
      {"identical small", gradient_frame(64, 64, 7), gradient_frame(64, 64, 7), true},
      {"different small", gradient_frame(64, 64, 7), gradient_frame(64, 64, 8), false},
      {"identical above 1 MiB", gradient_frame(1024, 257, 7), gradient_frame(1024, 257, 7), false},
  };
  for (const Case& c : cases) {
    std::optional<RgbaFrame> a = unpack_packed_frame(c.a.width, c.a.height, pack_frame(c.a.pixels.bytes()), 0.0);
    std::optional<RgbaFrame> b = unpack_packed_frame(c.b.width, c.b.height, pack_frame(c.b.pixels.bytes()), 0.0);
    ASSERT_TRUE(a && b) << c.name;
    EXPECT_EQ(same_payload(a->pixels, b->pixels), c.shared) << c.name;
  }
}

TEST(UnpackTest, SubmissionOutcomes) {
  PixelPayload p1 = packed_of(gradient_frame(4, 4, 1));
  PixelPayload p2 = packed_of(gradient_frame(4, 4, 2));
  const uint64_t cost = p1.capacity() + 64;
  struct Case {
    const char* name;
    std::function<void(UnpackQueue&)> before;
    UnpackJob job;
    uint64_t limit;
    SubmitOutcome want;
    size_t want_slots, want_keys;
  } cases[] = {
      {"same key twice", [&](UnpackQueue& q) { submit_unpack_job(q, job(p1, 1), kNoLimit); }, job(p1, 1), kNoLimit,
       SubmitOutcome::Queued, 1, 1},
      {"keys sharing a payload share a slot", [&](UnpackQueue& q) { submit_unpack_job(q, job(p1, 1), kNoLimit); },
       job(p1, 2), kNoLimit, SubmitOutcome::Queued, 1, 2},
      {"key moves to its new payload", [&](UnpackQueue& q) { submit_unpack_job(q, job(p1, 1), kNoLimit); },
       job(p2, 1), kNoLimit, SubmitOutcome::Queued, 1, 1},
      {"ninth waiting key",
       [&](UnpackQueue& q) {
         for (int i = 0; i < 8; ++i) submit_unpack_job(q, job(p1, i), kNoLimit);
       },
       job(p1, 8), kNoLimit, SubmitOutcome::NotNow, 1, 8},
      {"slots together over the limit", [&](UnpackQueue& q) { submit_unpack_job(q, job(p1, 1), 2 * cost); },
       job(p2, 2), 2 * cost - 1, SubmitOutcome::NotNow, 1, 1},
      {"one frame over the limit", nullptr, job(p1, 1), cost - 1, SubmitOutcome::Invalid, 0, 0},
      {"empty frame", nullptr, job(p1, 1, 1, 0, 4), kNoLimit, SubmitOutcome::Invalid, 0, 0},
      {"overflowing frame", nullptr, job(p1, 1, 1, 0xffffffff, 0xffffffff), kNoLimit, SubmitOutcome::Invalid, 0, 0},
      {"worker stopped", [](UnpackQueue& q) { stop_unpack_queue(q); }, job(p1, 1), kNoLimit, SubmitOutcome::WorkerGone,
       0, 0},
  };
  for (Case& c : cases) {
    UnpackQueue q;
    if (c.before) c.before(q);
    EXPECT_EQ(submit_unpack_job(q, std::move(c.job), c.limit), c.want) << c.name;
    EXPECT_EQ(q.slots.size(), c.want_slots) << c.name;
    EXPECT_EQ(key_count(q), c.want_keys) << c.name;
  }
}

TEST(UnpackTest, FocusForgetsKeysMoreThanFiveSecondsAway) {
  // Keys at 1 s, 3 s, 9 s (scale 1); focus at 0 s.
  struct Case {
    const char* name;
    MicrosRange range;
    std::vector<int32_t> kept;
  } cases[] = {
      {"no work range", {}, {1, 3}},
      {"10 s loop: 9 s ahead is 1 s behind", {true, 0, 10'000'000}, {1, 3, 9}},
      {"range not holding the focus", {true, 500'000, 10'000'000}, {1, 3}},
  };
  for (const Case& c : cases) {
    UnpackQueue q;
    for (int32_t v : {1, 3, 9}) {
      submit_unpack_job(q, job(packed_of(gradient_frame(4, 4, static_cast<uint8_t>(v))), v), kNoLimit);
    }
    focus_unpack_queue(q, FrameKey{0, 1}, c.range);
    std::vector<int32_t> kept;
    for (const UnpackSlot& s : q.slots) {
      for (const UnpackKey& k : s.keys) kept.push_back(k.key.value);
    }
    EXPECT_EQ(kept, c.kept) << c.name;
    EXPECT_EQ(q.slots.size(), c.kept.size()) << c.name << ": idle slots dropped";
  }
}

// A frame being decoded, or decoded already, is collected even when the
// focus moved far away meanwhile: the work is not thrown away and asked for
// again on the next tick.
TEST(UnpackTest, FocusKeepsKeysWhoseDecodingStarted) {
  UnpackQueue q;
  focus_unpack_queue(q, FrameKey{0, 1}, {});
  for (int32_t v : {1, 2, 3}) submit_unpack_job(q, job(packed_of(gradient_frame(4, 4, static_cast<uint8_t>(v))), v), kNoLimit);
  std::optional<UnpackWork> running = wait_for_unpack_work(q);  // key 1
  std::optional<UnpackWork> done = wait_for_unpack_work(q);     // key 2
  ASSERT_TRUE(running && done);
  finish_unpack_work(q, done->sequence, gradient_frame(4, 4, 2));
  focus_unpack_queue(q, FrameKey{100, 1}, {});
  std::vector<int32_t> kept;
  for (const UnpackSlot& s : q.slots) {
    for (const UnpackKey& k : s.keys) kept.push_back(k.key.value);
  }
  EXPECT_EQ(kept, (std::vector<int32_t>{1, 2})) << "the waiting key 3 is dropped, the started ones stay";
  std::optional<UnpackedFrame> got = take_unpacked_frame(q);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->key.value, 2);
}

// Only a frame the panel waits for makes its decoding ask for an early idle
// call; asking again for a queued frame as awaited marks it so.
TEST(UnpackTest, OnlyAwaitedFramesAskForAnEarlyTick) {
  struct Case {
    const char* name;
    std::vector<bool> requests;  // awaited flag of each request of the same key
    bool early;
  } cases[] = {
      {"ahead of need", {false}, false},
      {"awaited", {true}, true},
      {"ahead, then awaited", {false, true}, true},
      {"awaited, then ahead again", {true, false}, true},
  };
  for (const Case& c : cases) {
    UnpackQueue q;
    PixelPayload p = packed_of(gradient_frame(4, 4, 1));
    for (bool awaited : c.requests) {
      UnpackJob j = job(p, 1);
      j.awaited = awaited;
      EXPECT_EQ(submit_unpack_job(q, std::move(j), kNoLimit), SubmitOutcome::Queued) << c.name;
    }
    std::optional<UnpackWork> w = wait_for_unpack_work(q);
    ASSERT_TRUE(w) << c.name;
    EXPECT_EQ(finish_unpack_work(q, w->sequence, gradient_frame(4, 4, 1)), c.early) << c.name;
  }
}

TEST(UnpackTest, NearestAheadIsDecodedAndCollectedFirst) {
  UnpackQueue q;
  focus_unpack_queue(q, FrameKey{5, 1}, MicrosRange{true, 0, 10'000'000});
  PixelPayload shared = packed_of(gradient_frame(4, 4, 1));
  submit_unpack_job(q, job(shared, 3), kNoLimit);                           // 8 s ahead (wraps)
  submit_unpack_job(q, job(packed_of(gradient_frame(4, 4, 2)), 7), kNoLimit);  // 2 s ahead
  submit_unpack_job(q, job(shared, 6), kNoLimit);                           // 1 s ahead, shares with 3
  EXPECT_EQ(pending_unpack_bytes(q), 2u * 64);

  std::optional<UnpackWork> first = wait_for_unpack_work(q);
  ASSERT_TRUE(first);
  EXPECT_TRUE(same_payload(first->packed, shared));
  std::optional<UnpackWork> second = wait_for_unpack_work(q);
  ASSERT_TRUE(second);
  finish_unpack_work(q, second->sequence, gradient_frame(4, 4, 2));
  finish_unpack_work(q, first->sequence, gradient_frame(4, 4, 1));

  std::vector<int32_t> order;
  while (std::optional<UnpackedFrame> f = take_unpacked_frame(q)) order.push_back(f->key.value);
  EXPECT_EQ(order, (std::vector<int32_t>{6, 7, 3}));
  EXPECT_TRUE(q.slots.empty());
  EXPECT_FALSE(has_pending_unpack_keys(q));
}

// A cache whose keys 0..n-1 (scale 25) are packed 16×16 gradient frames.
struct UnpackFixture {
  BackgroundWorkerRegistry reg;
  FrameCache cache;

  explicit UnpackFixture(int n = 4) {
    for (int i = 0; i < n; ++i) {
      RgbaFrame f = gradient_frame(16, 16, static_cast<uint8_t>(i), i / 25.0);
      PixelPayload packed = packed_of(f);
      insert_frame(cache, key(i), std::move(f));
      pack(key(i), std::move(packed));
    }
    set_playhead_focus(cache, key(0));
  }
  ~UnpackFixture() { reg.drain(); }
  static FrameKey key(int i) { return FrameKey{i, 25}; }
  void pack(FrameKey k, PixelPayload packed) {
    const CachedFrame& e = cache.index.at(k);
    std::optional<CachedFrame> old =
        replace_cache_entry(cache, k, CachedFrame(PackedFrame{e.width(), e.height(), e.time(), std::move(packed)}));
    if (old) drop_cache_entry(cache, std::move(*old));
  }
  uint8_t request(int i) { return request_frame_unpack(cache, key(i), 100, reg); }
  // Drains until the queue has nothing left to decode or collect (bounded).
  std::vector<FrameKey> settle() {
    std::vector<FrameKey> raw;
    for (int n = 0; n < 5000; ++n) {
      std::vector<FrameKey> got = drain_unpack_results(cache);
      raw.insert(raw.end(), got.begin(), got.end());
      if (!cache.unpack_queue) break;
      {
        std::lock_guard lock(cache.unpack_queue->mutex);
        if (cache.unpack_queue->slots.empty()) break;
      }
      std::this_thread::sleep_for(1ms);
    }
    return raw;
  }
};

TEST(UnpackTest, RequestedFramesComeBackRaw) {
  UnpackFixture fx;
  EXPECT_EQ(request_frame_unpack(fx.cache, FrameKey{77, 25}, 100, fx.reg), 0);
  EXPECT_FALSE(fx.cache.unpack_queue) << "a missing key starts nothing";
  EXPECT_EQ(fx.request(2), 0);
  EXPECT_EQ(fx.request(2), 0);
  EXPECT_EQ(key_count(*fx.cache.unpack_queue), 1u) << "asked twice, queued once";
  const uint64_t gen = fx.cache.generation;
  EXPECT_EQ(fx.settle(), (std::vector<FrameKey>{UnpackFixture::key(2)}));
  EXPECT_GT(fx.cache.generation, gen);
  EXPECT_EQ(fx.request(2), 1);
  std::optional<RgbaFrame> got = cached_frame(fx.cache, UnpackFixture::key(2));
  ASSERT_TRUE(got);
  EXPECT_DOUBLE_EQ(got->time, 2 / 25.0);
  RgbaFrame want = gradient_frame(16, 16, 2);
  EXPECT_EQ(std::memcmp(got->pixels.data(), want.pixels.data(), want.pixels.size()), 0);
  EXPECT_EQ(fx.cache.pack_candidates.count(TimedKey::of(UnpackFixture::key(2))), 1u);
}

TEST(UnpackTest, KeysSharingAPayloadKeepTheirOwnTimes) {
  UnpackFixture fx(3);
  PixelPayload shared = fx.cache.index.at(UnpackFixture::key(1)).packed()->packed;
  fx.pack(UnpackFixture::key(2), shared);
  fx.request(1);
  fx.request(2);
  EXPECT_EQ(fx.cache.unpack_queue->slots.size(), 1u);
  EXPECT_EQ(fx.settle().size(), 2u);
  EXPECT_DOUBLE_EQ(cached_frame(fx.cache, UnpackFixture::key(1))->time, 1 / 25.0);
  EXPECT_DOUBLE_EQ(cached_frame(fx.cache, UnpackFixture::key(2))->time, 2 / 25.0);
}

TEST(UnpackTest, UndecodableOrStaleResultsAreDropped) {
  {
    LogCapture log;
    UnpackFixture fx;
    std::vector<uint8_t> bad = pack_frame(gradient_frame(16, 16, 1).pixels.bytes());
    bad[0] ^= 1;  // header no longer width × height × 4
    fx.pack(UnpackFixture::key(1), PixelPayload::adopt(std::move(bad)));
    fx.request(1);
    EXPECT_TRUE(fx.settle().empty());
    EXPECT_FALSE(contains_frame(fx.cache, UnpackFixture::key(1)));
    EXPECT_TRUE(log.contains("ERROR: cache: invalid packed frame discarded"));
  }
  {
    UnpackFixture fx;
    fx.request(3);
    // Let the worker finish before the key goes.
    for (int n = 0; n < 5000; ++n) {
      std::lock_guard lock(fx.cache.unpack_queue->mutex);
      if (!fx.cache.unpack_queue->slots.empty() && fx.cache.unpack_queue->slots[0].state == UnpackSlotState::Done) break;
      std::this_thread::sleep_for(1ms);
    }
    // The entry changed under the job: another packed payload now.
    PixelPayload other = packed_of(gradient_frame(16, 16, 99));
    fx.pack(UnpackFixture::key(3), other);
    EXPECT_TRUE(fx.settle().empty());
    ASSERT_TRUE(contains_frame(fx.cache, UnpackFixture::key(3)));
    EXPECT_TRUE(same_payload(fx.cache.index.at(UnpackFixture::key(3)).packed()->packed, other));
    evict_frame(fx.cache, UnpackFixture::key(3));
    EXPECT_TRUE(fx.settle().empty());
    EXPECT_FALSE(contains_frame(fx.cache, UnpackFixture::key(3)));
  }
}

TEST(UnpackTest, WithoutAWorkerPackingIsDisabledAndPackedFramesGo) {
  struct Case {
    const char* name;
    bool fill_registry;
    const char* message;
  } cases[] = {
      {"worker cannot start", true, "ERROR: cache: unpack worker unavailable; disabling packing"},
      {"worker gone", false, "ERROR: cache: unpack worker disconnected; disabling packing"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    UnpackFixture fx;
    std::atomic<bool> stop{false};
    if (c.fill_registry) {
      for (size_t i = 0; i < kBackgroundWorkerLimit; ++i) {
        ASSERT_TRUE(fx.reg.start("velocinta-test", [&] { while (!stop) std::this_thread::sleep_for(1ms); }, [&] { stop = true; }).ok());
      }
    } else {
      fx.request(1);
      stop_unpack_queue(*fx.cache.unpack_queue);
    }
    EXPECT_EQ(fx.request(2), 0) << c.name;
    EXPECT_TRUE(fx.cache.packing_disabled) << c.name;
    EXPECT_FALSE(contains_frame(fx.cache, UnpackFixture::key(2))) << c.name;
    EXPECT_TRUE(log.contains(c.message)) << c.name;
    EXPECT_EQ(fx.request(3), 0) << c.name;
    EXPECT_FALSE(contains_frame(fx.cache, UnpackFixture::key(3))) << c.name << ": no longer decodable";
    fx.reg.drain();
  }
}

TEST(UnpackTest, DroppingTheCacheEndsTheUnpackWorker) {
  BackgroundWorkerRegistry reg;
  auto cache = std::make_unique<FrameCache>();
  cache->unpack_queue = start_unpack_worker(reg);
  ASSERT_TRUE(cache->unpack_queue);
  std::shared_ptr<UnpackQueue> queue = cache->unpack_queue;
  EXPECT_EQ(reg.live_count(), 1u);
  cache.reset();
  for (int i = 0; i < 5000 && reg.live_count() != 0; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(reg.live_count(), 0u) << "the worker must not keep a registry place for a cache that is gone";
  EXPECT_EQ(submit_unpack_job(*queue, UnpackJob{packed_of(gradient_frame(4, 4, 1)), FrameKey{1, 25}, 0.04, 4, 4}, UINT64_MAX),
            SubmitOutcome::WorkerGone);
}

}  // namespace
}  // namespace vel
