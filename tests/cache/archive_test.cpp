#include <gtest/gtest.h>

#include <vector>

#include "cache/archive.h"
#include "cache/comp_switch.h"
#include "cache/eviction.h"
#include "cache/frame_cache_ops.h"
#include "frame_test_support.h"

namespace vel {
namespace {

using test::at24;
using test::make_frame;
using test::roomy;

// Fills the live cache with frames 0..n-1 (4 bytes each, distinct content).
void fill(FrameCache& c, int32_t n, uint8_t salt = 0) {
  for (int32_t f = 0; f < n; ++f) insert_frame(c, at24(f), make_frame(1, 1, static_cast<uint8_t>(f * 3 + salt)));
}

std::vector<int32_t> archived_values(const CachedComp& rec) {
  std::vector<int32_t> v;
  for (const TimedKey& t : rec.frames_by_time) v.push_back(t.key.value);
  return v;
}

TEST(Archive, SetAsideKeepsTheCompositionAndEmptiesTheLiveCache) {
  FrameCache c;
  roomy(c);
  EXPECT_EQ(set_aside_comp_frames(c, 1), 0u);  // nothing cached: no record
  EXPECT_TRUE(c.archive.empty());

  c.focus = at24(2);
  fill(c, 5);
  const uint64_t used = c.used_bytes;
  const uint64_t gen = c.generation;
  EXPECT_EQ(set_aside_comp_frames(c, 1), 5u);
  EXPECT_TRUE(c.index.empty());
  EXPECT_TRUE(c.all_frames.empty());
  EXPECT_GT(c.generation, gen);
  ASSERT_EQ(c.archive.size(), 1u);
  EXPECT_EQ(c.archive[0].focus, at24(2));
  EXPECT_EQ(c.used_bytes, used);  // still held by the archive
  EXPECT_EQ(c.claimed_bytes, 0u);
  EXPECT_EQ(c.archive_bytes, used);

  // Setting the same composition aside again replaces its record.
  fill(c, 2, 100);
  EXPECT_EQ(set_aside_comp_frames(c, 1), 2u);
  EXPECT_EQ(c.archive.size(), 1u);
  EXPECT_EQ(c.used_bytes, 8u);  // the old record's payloads were let go
}

TEST(Archive, NinthRecordPushesOutTheOldest) {
  FrameCache c;
  roomy(c);
  for (uint64_t comp = 1; comp <= 9; ++comp) {
    fill(c, 1, static_cast<uint8_t>(comp * 7));
    set_aside_comp_frames(c, comp);
  }
  ASSERT_EQ(c.archive.size(), 8u);
  EXPECT_EQ(c.archive.front().comp_id, 2u);
  EXPECT_EQ(c.archive.back().comp_id, 9u);
  EXPECT_EQ(c.used_bytes, 8u * 4);
}

TEST(Archive, EvictionPartialOrWhole) {
  struct Case {
    const char* what;
    bool partial;
    uint64_t allowance;
    int steps;
    std::vector<int32_t> left;  // frames left in the oldest record
    uint64_t whole_fallbacks;
  };
  // The oldest record holds frames 0..9 with its focus at 3: the frames
  // farthest from 3 go first, from either end.
  const Case cases[] = {
      {"one frame: latest is farthest", true, 64, 1, {0, 1, 2, 3, 4, 5, 6, 7, 8}, 0},
      {"a tie goes to the latest", true, 64, 4, {0, 1, 2, 3, 4, 5}, 0},
      {"then the earliest once strictly farther", true, 64, 5, {1, 2, 3, 4, 5}, 0},
      {"seven", true, 64, 7, {2, 3, 4}, 0},
      {"ends with the focus", true, 64, 9, {3}, 0},
      {"allowance spent: whole", true, 2, 3, {}, 1},
      {"switch off: whole", false, 64, 1, {}, 1},
  };
  for (const Case& k : cases) {
    FrameCache c;
    roomy(c);
    c.partial_archive_eviction = k.partial;
    c.focus = at24(3);
    fill(c, 10);
    set_aside_comp_frames(c, 1);
    fill(c, 2, 200);
    set_aside_comp_frames(c, 2);  // a younger record stays untouched
    const uint64_t used = c.used_bytes;
    uint64_t allowance = k.allowance;
    for (int i = 0; i < k.steps; ++i) EXPECT_TRUE(evict_from_archive(c, allowance)) << k.what;
    ASSERT_FALSE(c.archive.empty());
    if (k.left.empty()) {
      EXPECT_EQ(c.archive.size(), 1u) << k.what;
      EXPECT_EQ(c.archive.front().comp_id, 2u) << k.what;
    } else {
      EXPECT_EQ(archived_values(c.archive.front()), k.left) << k.what;
    }
    const uint64_t gone = 10 - k.left.size();
    EXPECT_EQ(c.archive_evicted_frames, gone) << k.what;
    EXPECT_EQ(c.archive_whole_fallbacks, k.whole_fallbacks) << k.what;
    EXPECT_EQ(c.archive_released_bytes, gone * 4) << k.what;
    EXPECT_EQ(c.used_bytes, used - gone * 4) << k.what;
  }
  FrameCache empty;
  uint64_t allowance = 64;
  EXPECT_FALSE(evict_from_archive(empty, allowance));
}

TEST(Archive, BudgetTakesFromTheArchiveBeforeLiveFrames) {
  FrameCache c;
  roomy(c, 40);
  c.focus = at24(0);
  fill(c, 8);  // 32 bytes
  set_aside_comp_frames(c, 1);
  fill(c, 4, 100);  // 16 more: the archive must give 8 bytes
  EXPECT_EQ(c.index.size(), 4u);
  EXPECT_EQ(c.archive.front().index.size(), 6u);
  EXPECT_LE(c.used_bytes, 40u);
}

TEST(Archive, BytesCountOnlyPayloadsHeldByTheArchiveAlone) {
  FrameCache c;
  roomy(c);
  RgbaFrame shared = make_frame(2, 2, 1);
  insert_frame(c, at24(0), shared);
  insert_frame(c, at24(1), make_frame(2, 2, 2));
  set_aside_comp_frames(c, 1);
  EXPECT_EQ(c.archive_bytes, 16u);  // this test still holds one of them
  insert_frame(c, at24(5), shared);  // and now the live cache too
  shared = RgbaFrame{};
  refresh_archive_bytes(c);
  EXPECT_EQ(c.archive_bytes, 16u);
  evict_frame(c, at24(5));
  refresh_archive_bytes(c);
  EXPECT_EQ(c.archive_bytes, 32u);
}

TEST(Archive, RestoreMakesTheRecordLiveAgain) {
  FrameCache c;
  roomy(c);
  c.focus = at24(4);
  fill(c, 6);
  set_aside_comp_frames(c, 1);
  fill(c, 3, 50);
  set_aside_comp_frames(c, 2);
  EXPECT_FALSE(restore_cached_comp(c, 7));

  std::optional<uint64_t> restored = restore_cached_comp(c, 1);
  ASSERT_EQ(restored, 6u);
  EXPECT_EQ(c.index.size(), 6u);
  EXPECT_EQ(c.focus, at24(4));
  EXPECT_EQ(c.claimed_bytes, 24u);
  EXPECT_EQ(c.archive.size(), 1u);
  EXPECT_EQ(c.archive_bytes, 12u);
  EXPECT_EQ(c.store_write_queue.size(), 6u);
  EXPECT_EQ(c.used_bytes, 36u);

  // Restored frames can be evicted again without a focus.
  c.focus.reset();
  c.frame_limit = 2;
  c.archive.clear();
  enforce_cache_budget(c);
  EXPECT_EQ(c.index.size(), 2u);
}

TEST(Archive, ClearKeepsTheArchiveAndResetDropsIt) {
  FrameCache c;
  roomy(c);
  fill(c, 3);
  set_aside_comp_frames(c, 1);
  fill(c, 2, 50);
  const uint64_t generation = c.generation;
  clear_frame_cache(c);
  EXPECT_GT(c.generation, generation);
  ASSERT_EQ(c.archive.size(), 1u);
  EXPECT_EQ(c.used_bytes, 12u);  // the live frames are gone, the archived ones stay
  EXPECT_EQ(c.archive_bytes, 12u);

  reset_cache_state(c);
  EXPECT_TRUE(c.archive.empty());
  EXPECT_EQ(c.archive_bytes, 0u);
  EXPECT_FALSE(c.archive_stamp_ns);
  EXPECT_EQ(c.used_bytes, 0u);  // nothing else held them: their bytes come back at once
  EXPECT_TRUE(c.payloads.empty());
}

TEST(Archive, CompositionSwitch) {
  FrameCache c;
  roomy(c);
  c.focus = at24(1);
  fill(c, 5);
  CompActivation a;
  a.outgoing_comp = 10;
  a.comp_name = "Main Comp";
  a.frame_count = 9000;
  a.focus = at24(7);
  CompActivationOutcome out = activate_comp_cache(c, a);
  EXPECT_EQ(out.comp_key, "Main Comp");
  EXPECT_EQ(out.set_aside_frames, 5u);
  EXPECT_EQ(c.frame_limit, 4096u);
  EXPECT_EQ(c.focus, at24(7));
  EXPECT_EQ(out.focus_frame_raw, 0);

  fill(c, 2, 40);
  CompActivation back;
  back.outgoing_comp = 11;
  back.restore_comp = 10;
  back.frame_count = 3;  // the frame limit applies to the restored frames
  back.focus = at24(1);
  out = activate_comp_cache(c, back);
  EXPECT_EQ(out.comp_key, "");
  EXPECT_EQ(out.restored_frames, 3u);  // five came back, three fit the incoming limit
  EXPECT_EQ(out.focus_frame_raw, 1);
  EXPECT_EQ(c.index.size(), 3u);
  EXPECT_TRUE(contains_frame(c, at24(1)));
  ASSERT_EQ(c.archive.size(), 1u);
  EXPECT_EQ(c.archive.front().comp_id, 11u);
}

// Switching away and back keeps every frame of each composition, whatever
// their lengths: the returning composition is restored under its own frame
// limit, not the one of the composition being left.
TEST(Archive, SwitchingBackKeepsEveryFrameOfCompositionsOfDifferentLengths) {
  struct Case {
    uint64_t one, two;
  } cases[] = {{120, 10}, {10, 120}, {30, 30}, {5000, 1}};
  for (const Case& k : cases) {
    FrameCache c;
    roomy(c);
    auto activate = [&](std::optional<uint64_t> outgoing, uint64_t comp, uint64_t frames) {
      CompActivation a;
      a.outgoing_comp = outgoing;
      a.restore_comp = comp;
      a.frame_count = frames;
      a.focus = at24(0);
      return activate_comp_cache(c, a);
    };
    const uint64_t kept_one = std::min(k.one, kMaxFrameLimit);
    activate(std::nullopt, 1, k.one);
    fill(c, static_cast<int32_t>(kept_one));
    activate(1, 2, k.two);
    fill(c, static_cast<int32_t>(k.two), 77);
    ASSERT_EQ(c.index.size(), k.two) << k.one << "/" << k.two;

    CompActivationOutcome back = activate(2, 1, k.one);
    EXPECT_EQ(back.restored_frames, kept_one) << k.one << "/" << k.two;
    EXPECT_EQ(c.index.size(), kept_one) << k.one << "/" << k.two;
    back = activate(1, 2, k.two);
    EXPECT_EQ(back.restored_frames, k.two) << k.one << "/" << k.two;
  }
}

}  // namespace
}  // namespace vel
