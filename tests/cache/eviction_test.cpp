#include <gtest/gtest.h>

#include <limits>

#include "cache/archive.h"
#include "cache/eviction.h"
#include "cache/frame_cache_ops.h"
#include "frame_test_support.h"

namespace vel {
namespace {

using test::make_frame;
using test::roomy;

// Keys in a 1/10 s time base so that distances read in tenths of a second.
FrameKey tenth(int32_t v) { return FrameKey{v, 10}; }

TEST(Eviction, FocusDistanceWrapsForwardInsideTheWorkRange) {
  FrameCache c;
  c.work_range = MicrosRange{true, 0, 1'000'000};
  c.focus = tenth(5);
  struct Case {
    FrameKey key;
    int64_t distance;
  };
  const Case cases[] = {
      {tenth(6), 100'000},
      {tenth(4), 900'000},  // just behind the playhead: farthest ahead
      {tenth(5), 0},
      {tenth(20), 1'500'000 + (int64_t{1} << 62) - 1},  // outside: beyond anything inside
      {tenth(-10), 1'500'000 + (int64_t{1} << 62) - 1},
  };
  for (const Case& k : cases) EXPECT_EQ(focus_distance(c, k.key), k.distance) << k.key.value;

  // Focus outside the work range, or no work range: plain distance.
  c.focus = tenth(30);
  EXPECT_EQ(focus_distance(c, tenth(4)), 2'600'000);
  c.work_range.valid = false;
  c.focus = tenth(5);
  EXPECT_EQ(focus_distance(c, tenth(4)), 100'000);
  c.focus.reset();
  EXPECT_EQ(focus_distance(c, tenth(4)), 0);

  // A work range whose ends saturated spans more than an i64: still forward
  // distances, the wrap saturating instead of overflowing.
  c.work_range = frame_range_micros(1, 1, std::numeric_limits<int64_t>::min() / 2, std::numeric_limits<int64_t>::max() / 2);
  ASSERT_TRUE(c.work_range.valid);
  c.focus = tenth(5);
  EXPECT_EQ(focus_distance(c, tenth(6)), 100'000);
  EXPECT_EQ(focus_distance(c, tenth(4)), std::numeric_limits<int64_t>::max());
}

TEST(Eviction, FarthestCandidate) {
  struct Case {
    const char* what;
    std::vector<int32_t> cached;
    std::optional<int32_t> focus;
    bool work_range;
    std::optional<int32_t> farthest;
  };
  const Case cases[] = {
      {"no focus", {1, 2, 3}, std::nullopt, true, std::nullopt},
      {"just before the playhead, wrapping", {0, 4, 5, 6, 9}, 5, true, 4},
      {"outside the range beats inside", {0, 4, 5, 6, 20}, 5, true, 20},
      {"without range: the far end", {0, 4, 5, 6, 9}, 5, false, 0},
      {"only the focus", {5}, 5, true, std::nullopt},
      {"focus first: the latest", {5, 6, 7}, 5, true, 7},
  };
  for (const Case& k : cases) {
    FrameCache c;
    c.work_range = MicrosRange{k.work_range, 0, 1'000'000};
    if (k.focus) c.focus = tenth(*k.focus);
    TimeOrderedKeys set;
    for (int32_t v : k.cached) set.insert(TimedKey::of(tenth(v)));
    std::optional<TimedKey> got = farthest_from_focus(c, set);
    ASSERT_EQ(got.has_value(), k.farthest.has_value()) << k.what;
    if (got) {
      EXPECT_EQ(got->key, tenth(*k.farthest)) << k.what;
    }
  }
}

// Frames of 4 bytes each (1×1), the limit set by frame count or bytes.
TEST(Eviction, EnforcementOrder) {
  struct Case {
    const char* what;
    std::optional<int32_t> focus;
    uint64_t frame_limit;
    uint64_t byte_limit;
    std::vector<int32_t> inserted;  // in order, values of tenth()
    std::vector<int32_t> kept;      // sorted
  };
  const Case cases[] = {
      {"no focus: oldest inserted first", std::nullopt, 2, 1 << 20, {7, 3, 9, 1}, {1, 9}},
      {"focus: farthest ahead first", 2, 3, 1 << 20, {0, 1, 2, 3, 4}, {2, 3, 4}},
      {"byte limit", 2, 4096, 12, {0, 1, 2, 3, 4}, {2, 3, 4}},
      {"only the focus frame survives a zero limit", 5, 0, 1 << 20, {5}, {5}},
      {"zero limit keeps the focus", 5, 0, 1 << 20, {3, 5, 7}, {5}},
  };
  for (const Case& k : cases) {
    FrameCache c;
    roomy(c, k.byte_limit);
    c.work_range = MicrosRange{true, 0, 1'000'000};
    if (k.focus) c.focus = tenth(*k.focus);
    // The frame limit applies once all are in, as a composition switch would set it.
    for (int32_t v : k.inserted) insert_frame(c, tenth(v), make_frame(1, 1, static_cast<uint8_t>(v)));
    c.frame_limit = k.frame_limit;
    enforce_cache_budget(c);
    std::vector<int32_t> kept;
    for (const TimedKey& t : c.all_frames) kept.push_back(t.key.value);
    EXPECT_EQ(kept, k.kept) << k.what;
    EXPECT_EQ(c.index.size(), kept.size()) << k.what;
  }
}

TEST(Eviction, EvictedFrameLeavesIndexAndSetsButNotTheStoreQueue) {
  FrameCache c;
  roomy(c);
  insert_frame(c, tenth(1), make_frame(2, 2));
  const uint64_t gen = c.generation;
  evict_frame(c, tenth(1));
  EXPECT_FALSE(contains_frame(c, tenth(1)));
  EXPECT_TRUE(c.all_frames.empty());
  EXPECT_TRUE(c.pack_candidates.empty());
  EXPECT_EQ(c.generation, gen + 1);
  EXPECT_EQ(c.store_write_queue.size(), 1u);
  evict_frame(c, tenth(1));  // absent: nothing changes
  EXPECT_EQ(c.generation, gen + 1);
}

// Whether a frame going in now would stay: the playhead's own frame
// always; another while there is room, or when a cached frame lies farther
// from the playhead (forward, wrapping inside the work range).
TEST(Eviction, WouldKeepAFrameNearerThanTheFarthestCached) {
  struct Case {
    const char* what;
    uint64_t frame_limit;
    std::optional<int32_t> focus;
    int32_t key;
    bool kept;
  };
  const Case cases[] = {
      {"below the frame limit", 8, 5, 40, true},
      {"the playhead's own frame", 3, 40, 40, true},
      {"ahead of the playhead, before the cached frames", 3, 5, 6, true},
      {"behind the cached frames", 3, 5, 40, false},
      {"just behind the playhead: farthest ahead", 3, 5, 4, false},
      {"outside the work range", 3, 5, 120, false},
      {"the playhead moved past the cached frames", 3, 25, 40, true},
      {"without a focus the oldest goes", 3, std::nullopt, 40, true},
  };
  for (const Case& k : cases) {
    FrameCache c;
    roomy(c);
    c.work_range = MicrosRange{true, 0, 10'000'000};  // 0..100 in tenths
    c.focus = tenth(5);
    for (int32_t v : {5, 10, 20}) insert_frame(c, tenth(v), make_frame(2, 2, static_cast<uint8_t>(v)));
    c.frame_limit = k.frame_limit;
    c.focus = k.focus ? std::optional(tenth(*k.focus)) : std::nullopt;
    EXPECT_EQ(cache_would_keep(c, tenth(k.key)), k.kept) << k.what;
  }
}

}  // namespace
}  // namespace vel
