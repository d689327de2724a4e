#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "cache/eviction.h"
#include "cache/frame_cache_ops.h"
#include "frame_test_support.h"

namespace vel {
namespace {

using test::at24;
using test::make_frame;
using test::roomy;

struct Size {
  uint32_t w, h;
};

// Insertion of a second frame under a cached key, through both paths.
TEST(FrameCache, ReplacementRules) {
  struct Case {
    const char* what;
    Size second;
    bool replaced_by_insert;  // insert_frame
    bool narrower_reject;
    bool stored_by_render;    // cache_rendered_frame
  };
  const Case cases[] = {
      {"same size", {8, 8}, true, false, false},
      {"one pixel narrower", {7, 8}, false, true, false},
      {"as wide, shorter", {8, 7}, true, false, false},
      {"as wide, taller", {8, 9}, true, false, true},
      {"wider, shorter", {9, 7}, true, false, false},
      {"wider and taller", {9, 9}, true, false, true},
  };
  for (const Case& k : cases) {
    for (bool via_render : {false, true}) {
      FrameCache c;
      roomy(c);
      ASSERT_TRUE(cache_rendered_frame(c, at24(1), make_frame(8, 8, 1)));
      RgbaFrame second = make_frame(k.second.w, k.second.h, 2);
      bool stored = true;
      if (via_render) {
        stored = cache_rendered_frame(c, at24(1), second);
      } else {
        insert_frame(c, at24(1), second);
      }
      const bool expect_replaced = via_render ? k.stored_by_render : k.replaced_by_insert;
      const CachedFrame& e = c.index.at(at24(1));
      EXPECT_EQ(same_payload(e.payload(), second.pixels), expect_replaced) << k.what << via_render;
      if (via_render) {
        EXPECT_EQ(stored, k.stored_by_render) << k.what;
      } else {
        EXPECT_EQ(c.narrower_rejects, k.narrower_reject ? 1u : 0u) << k.what;
      }
      EXPECT_EQ(c.index.size(), 1u);
      EXPECT_EQ(c.all_frames.size(), 1u);
    }
  }
}

TEST(FrameCache, RenderedFrameValidation) {
  struct Case {
    const char* what;
    FrameKey key;
    uint32_t w, h;
    size_t len;
    bool stored;
  };
  const Case cases[] = {
      {"valid", {2, 24}, 4, 2, 32, true},
      {"zero scale", {2, 0}, 4, 2, 32, false},
      {"zero width", {2, 24}, 0, 2, 0, false},
      {"zero height", {2, 24}, 4, 0, 0, false},
      {"short pixels", {2, 24}, 4, 2, 31, false},
      {"long pixels", {2, 24}, 4, 2, 36, false},
      {"size overflowing 32 bits", {2, 24}, 0x80000000u, 2, 0, false},
  };
  for (const Case& k : cases) {
    FrameCache c;
    roomy(c);
    RgbaFrame f{PixelPayload::adopt(std::vector<uint8_t>(k.len, 1)), 123.0, k.w, k.h};
    EXPECT_EQ(cache_rendered_frame(c, k.key, f), k.stored) << k.what;
    EXPECT_EQ(contains_frame(c, k.key), k.stored) << k.what;
    if (k.stored) {
      EXPECT_DOUBLE_EQ(cached_frame(c, k.key)->time, 2.0 / 24.0);  // set from the key
    }
  }
}

TEST(FrameCache, RenderedFrameEvictedAgainIsNotReportedStored) {
  FrameCache c;
  roomy(c, 16);  // room for one 2×2 frame
  c.focus = at24(0);
  ASSERT_TRUE(cache_rendered_frame(c, at24(0), make_frame(2, 2, 1)));
  EXPECT_FALSE(cache_rendered_frame(c, at24(50), make_frame(2, 2, 2)));
  EXPECT_TRUE(contains_frame(c, at24(0)));
}

// A refusal for lack of room (the frame is sound, the frames kept lie
// nearer the playhead) is told apart from a frame refused for itself, which
// is not worth making again.
TEST(FrameCache, OfferTellsALackOfRoomFromARefusedFrame) {
  struct Case {
    const char* what;
    uint64_t budget;
    FrameKey key;
    RgbaFrame frame;
    OfferAnswer answer;
  };
  const Case cases[] = {
      {"room", 64, at24(3), make_frame(2, 2), OfferAnswer::Stored},
      {"farthest from the playhead on a full cache", 32, at24(50), make_frame(2, 2), OfferAnswer::NoRoom},
      {"nearer than a cached frame", 32, at24(3), make_frame(2, 2), OfferAnswer::Stored},
      {"growing without room for its bytes", 32, at24(0), make_frame(4, 4), OfferAnswer::NoRoom},
      {"same size as the cached one", 64, at24(0), make_frame(2, 2), OfferAnswer::NotLarger},
      {"narrower than the cached one", 64, at24(0), make_frame(1, 4), OfferAnswer::NotLarger},
      {"mis-sized pixels", 64, at24(3), RgbaFrame{PixelPayload::adopt(std::vector<uint8_t>(15)), 0, 2, 2},
       OfferAnswer::Invalid},
      {"zero scale", 64, FrameKey{3, 0}, make_frame(2, 2), OfferAnswer::Invalid},
  };
  for (const Case& k : cases) {
    FrameCache c;
    roomy(c, k.budget);  // 16 bytes a 2×2 frame
    c.focus = at24(0);
    ASSERT_TRUE(cache_rendered_frame(c, at24(0), make_frame(2, 2, 1)));
    ASSERT_TRUE(cache_rendered_frame(c, at24(10), make_frame(2, 2, 2)));
    EXPECT_EQ(offer_rendered_frame(c, k.key, k.frame), k.answer) << k.what;
    // Only a stored frame is in at its width; the playhead's frame keeps its own.
    std::optional<uint32_t> width;
    if (k.answer == OfferAnswer::Stored) width = k.frame.width;
    if (k.answer != OfferAnswer::Stored && k.key == at24(0)) width = 2;
    EXPECT_EQ(cached_frame_width(c, k.key), width) << k.what;
  }
}

TEST(FrameCache, LargerReplacementMustFitTheBudget) {
  FrameCache c;
  roomy(c, 64);
  insert_frame(c, at24(1), make_frame(2, 2, 1));  // 16 bytes
  insert_frame(c, at24(1), make_frame(4, 4, 2));  // 64: fits once the old 16 go
  EXPECT_EQ(cached_frame_width(c, at24(1)), 4u);
  insert_frame(c, at24(1), make_frame(5, 4, 3));  // 80: never fits
  EXPECT_EQ(cached_frame_width(c, at24(1)), 4u);
}

TEST(FrameCache, DeduplicatesAgainstTheLastPayload) {
  FrameCache c;
  roomy(c);
  insert_frame(c, at24(1), make_frame(8, 8, 5));
  insert_frame(c, at24(2), make_frame(8, 8, 5));  // same bytes, another allocation
  RgbaFrame differs = make_frame(8, 8, 5);
  std::vector<uint8_t> bytes(differs.pixels.bytes().begin(), differs.pixels.bytes().end());
  bytes[255] = 6;  // past every sampled offset but the last
  insert_frame(c, at24(3), RgbaFrame{PixelPayload::adopt(bytes), 0, 8, 8});
  EXPECT_EQ(c.dedup_hits, 1u);
  EXPECT_EQ(c.dedup_bytes, 256u);
  EXPECT_TRUE(same_payload(c.index.at(at24(1)).payload(), c.index.at(at24(2)).payload()));
  EXPECT_FALSE(same_payload(c.index.at(at24(2)).payload(), c.index.at(at24(3)).payload()));
  EXPECT_EQ(c.used_bytes, 512u);
}

TEST(FrameCache, NearestWithinTolerance) {
  struct Case {
    const char* what;
    int32_t value;
    uint32_t scale;
    double tolerance;
    std::optional<FrameKey> nearest;
  };
  // Cached at 1.0 s and 1.2 s (in tenths), and 3.0 s (in 24ths).
  const Case cases[] = {
      {"midway: the earlier wins", 11, 10, 0.1, FrameKey{10, 10}},
      {"nearer the later", 115, 100, 0.1, FrameKey{12, 10}},
      {"exact", 12, 10, 0.0, FrameKey{12, 10}},
      {"outside tolerance", 15, 10, 0.1, std::nullopt},
      {"other time base", 299, 100, 0.05, FrameKey{72, 24}},
      {"negative tolerance is zero", 11, 10, -1.0, std::nullopt},
      {"NaN tolerance is zero", 10, 10, std::nan(""), FrameKey{10, 10}},
      {"huge tolerance", -1000, 1, 1e300, FrameKey{10, 10}},
  };
  FrameCache c;
  roomy(c);
  EXPECT_FALSE(nearest_cached_frame(c, 10, 10, 1.0));
  insert_frame(c, FrameKey{10, 10}, make_frame(1, 1, 1));
  insert_frame(c, FrameKey{12, 10}, make_frame(1, 1, 2));
  insert_frame(c, FrameKey{72, 24}, make_frame(1, 1, 3));
  for (const Case& k : cases) EXPECT_EQ(nearest_cached_frame(c, k.value, k.scale, k.tolerance), k.nearest) << k.what;
}

TEST(FrameCache, NeighboursWrapInsideTheWorkArea) {
  FrameCache c;
  roomy(c);
  for (int32_t f = 0; f < 30; ++f) insert_frame(c, at24(f), make_frame(1, 1, static_cast<uint8_t>(f)));
  struct Case {
    const char* what;
    int64_t current, first, last, ahead;
    std::vector<int64_t> frames;
  };
  const Case cases[] = {
      {"wraps behind the start", 1, 0, 19, 2, {9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 0, 1, 2, 3}},
      {"short range: each frame once", 2, 0, 4, 10, {0, 1, 2, 3, 4}},
      {"one-frame range", 7, 7, 7, 5, {7}},
      {"negative ahead still takes the frames behind", 20, 0, 29, -3, {8, 9, 10, 11, 12, 13, 14, 15, 16, 17}},
  };
  for (const Case& k : cases) {
    NeighbourList list = neighbour_frames(c, k.current, 1, 24, k.first, k.last, k.ahead);
    std::vector<int64_t> frames;
    for (const NeighbourFrame& n : *list) frames.push_back(n.frame);
    EXPECT_EQ(frames, k.frames) << k.what;
  }
  NeighbourList a = neighbour_frames(c, 5, 1, 24, 0, 29, 3);
  EXPECT_EQ(a, neighbour_frames(c, 5, 1, 24, 0, 29, 3));  // memo shared
  evict_frame(c, at24(5));
  NeighbourList b = neighbour_frames(c, 5, 1, 24, 0, 29, 3);
  EXPECT_NE(a, b);
  EXPECT_EQ(b->size(), a->size() - 1);
}

TEST(FrameCache, StoreQueueIsBoundedButRebuildIsNot) {
  FrameCache c;
  roomy(c);
  c.frame_limit = 3;  // bound 2 × 3 + 64 = 70
  c.focus = at24(0);
  for (int32_t f = 0; f < 100; ++f) queue_frame_for_store(c, at24(f));
  ASSERT_EQ(c.store_write_queue.size(), 70u);
  EXPECT_EQ(c.store_write_queue.front(), at24(30));  // the oldest went
  c.frame_limit = 4096;
  for (int32_t f = 0; f < 100; ++f) insert_frame(c, at24(99 - f), make_frame(1, 1, static_cast<uint8_t>(f)));
  rebuild_store_queue(c);
  ASSERT_EQ(c.store_write_queue.size(), 100u);
  EXPECT_EQ(c.store_write_queue.front(), at24(0));  // time order
  EXPECT_EQ(c.store_write_queue.back(), at24(99));
}

TEST(FrameCache, FrameRangeMicros) {
  struct Case {
    int64_t dv;
    uint32_t ds;
    int64_t first, last;
    MicrosRange range;
  };
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  const Case cases[] = {
      {1, 25, 0, 99, {true, 0, 4'000'000}},
      {1001, 30000, 1, 1, {true, 33366, 66733}},  // truncated
      {0, 25, 0, 99, {false, 0, 0}},
      {1, 0, 0, 99, {false, 0, 0}},
      {1, 25, 5, 4, {false, 0, 0}},
      {kMax, 1, 1, 2, {false, kMax, kMax}},  // saturated: empty span
  };
  for (const Case& k : cases) {
    MicrosRange r = frame_range_micros(k.dv, k.ds, k.first, k.last);
    EXPECT_EQ(r.valid, k.range.valid) << k.dv << "/" << k.ds;
    if (k.range.valid || r.start != 0) {
      EXPECT_EQ(r.start, k.range.start);
      EXPECT_EQ(r.end, k.range.end);
    }
  }
}

TEST(FrameCache, NextCachedKeySkipsKeysInsideRanges) {
  FrameCache c;
  roomy(c);
  const FrameKey keys[] = {{0, 24}, {24, 24}, {48, 24}, {96, 24}, {-24, 24}, {5, 0}};
  for (const FrameKey& k : keys) insert_frame(c, k, make_frame(1, 1, static_cast<uint8_t>(k.value + 30)));
  struct Case {
    const char* what;
    uint64_t multiplier;
    std::vector<std::pair<int64_t, int64_t>> ranges;
    std::vector<FrameKey> yielded;  // as a set
  };
  // With multiplier 1 a range (a, b) holds keys with a < v / s < b seconds.
  const Case cases[] = {
      {"no ranges: all", 1, {}, {{0, 24}, {24, 24}, {48, 24}, {96, 24}, {-24, 24}, {5, 0}}},
      {"zero multiplier: all", 0, {{-10, 10}}, {{0, 24}, {24, 24}, {48, 24}, {96, 24}, {-24, 24}, {5, 0}}},
      {"(0, 3) holds 0, 1 s, 2 s", 1, {{0, 3}}, {{96, 24}, {-24, 24}, {5, 0}}},
      {"bounds are exclusive for v > 0", 1, {{1, 2}}, {{0, 24}, {24, 24}, {48, 24}, {96, 24}, {-24, 24}, {5, 0}}},
      {"two ranges", 1, {{3, 5}, {-1, 1}}, {{24, 24}, {48, 24}, {-24, 24}, {5, 0}}},
  };
  for (const Case& k : cases) {
    std::vector<FrameKey> got;
    FrameIndex::const_iterator it = c.index.cbegin();
    while (auto key = next_cached_key(it, c.index.cend(), k.multiplier, k.ranges)) got.push_back(*key);
    auto less = [](FrameKey a, FrameKey b) { return frame_key_time_less(a, b); };
    std::vector<FrameKey> want = k.yielded;
    std::sort(got.begin(), got.end(), less);
    std::sort(want.begin(), want.end(), less);
    EXPECT_EQ(got, want) << k.what;
  }
  // Evicting each answered key while walking is safe.
  FrameIndex::const_iterator it = c.index.cbegin();
  while (auto key = next_cached_key(it, c.index.cend(), 1, {})) evict_frame(c, *key);
  EXPECT_TRUE(c.index.empty());
}

TEST(FrameCache, UpgradeFitsBudget) {
  struct Case {
    const char* what;
    Size cached;
    uint64_t budget;
    uint32_t wanted;
    bool fits;
  };
  // 10×5 (200 bytes) at twice the width is 20×10 (800 bytes).
  const Case cases[] = {
      {"narrower wanted", {10, 5}, 1, 5, true},
      {"room for 800", {10, 5}, 800, 20, true},
      {"no room", {10, 5}, 799, 20, false},
      {"factor rounds up: 15×10", {10, 5}, 599, 15, false},
      {"factor rounds up, room", {10, 5}, 600, 15, true},
      {"height would pass 32 bits", {1, 2}, UINT64_MAX, 0xFFFFFFFFu, false},
      {"pixels reach 2^62", {10, 5}, UINT64_MAX, 0xFFFFFFFFu, false},
  };
  for (const Case& k : cases) {
    FrameCache c;
    roomy(c);
    insert_frame(c, at24(1), make_frame(k.cached.w, k.cached.h));
    c.budget_bytes = k.budget;
    EXPECT_EQ(upgrade_fits_budget(c, at24(1), k.wanted), k.fits) << k.what;
  }
  FrameCache empty;
  EXPECT_TRUE(upgrade_fits_budget(empty, at24(1), 1 << 20));
}

}  // namespace
}  // namespace vel
