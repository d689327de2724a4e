#include "pool/schedule/range_frames.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

#include "cache/frame_cache.h"
#include "cache/frame_cache_ops.h"
#include "cache/frame_test_support.h"

namespace vel {
namespace {

using Queue = std::deque<QueuedRange>;
using Lists = std::vector<RangeFrames>;

constexpr BatchTimeBase kEveryFrame{1, 24};

TEST(BatchFrames, BudgetQueuePositionsAndReplays) {
  struct Case {
    const char* what;
    Queue queue;
    uint64_t budget;
    Lists expected;
    uint64_t budget_left;
  } cases[] = {
      {"empty queue", {}, 10, {}, 10},
      {"no budget", {{0, 5, false}}, 0, {}, 0},
      {"budget cuts the second range", {{0, 2, false}, {10, 20, false}}, 5, {{0, {0, 1, 2}}, {1, {10, 11}}}, 0},
      {"inverted range takes nothing", {{5, 2, false}, {7, 8, false}}, 5, {{1, {7, 8}}}, 3},
      {"replay keeps its position", {{0, 1, true}, {4, 5, false}}, 10, {{1, {4, 5}}}, 8},
  };
  for (const Case& c : cases) {
    uint64_t budget = c.budget;
    EXPECT_EQ(build_batch_frames(c.queue, kEveryFrame, budget), c.expected) << c.what;
    EXPECT_EQ(budget, c.budget_left) << c.what;
  }
}

TEST(BatchFrames, FramesWithoutHostTimeStillTakeBudget) {
  const int64_t last_fitting = INT32_MAX / 1000;
  Queue queue{{last_fitting - 1, last_fitting + 1, false}};
  uint64_t budget = 10;
  EXPECT_EQ(build_batch_frames(queue, BatchTimeBase{1000, 24000}, budget),
            (Lists{{0, {last_fitting - 1, last_fitting}}}));
  EXPECT_EQ(budget, 7u);

  const int64_t top = INT64_MAX;
  Queue edge{{top - 1, top, false}};
  budget = 10;
  EXPECT_TRUE(build_batch_frames(edge, BatchTimeBase{2, 24}, budget).empty());  // the product overflows
  EXPECT_EQ(budget, 8u);  // and the walk ends at the range's end without wrapping
}

TEST(UncachedBatchFrames, LeavesOutFramesCachedWideEnough) {
  FrameCache cache;
  test::roomy(cache);
  insert_frame(cache, test::at24(1), test::make_frame(64, 4));   // narrower than the rule
  insert_frame(cache, test::at24(2), test::make_frame(128, 4));  // exactly wide enough
  insert_frame(cache, test::at24(3), test::make_frame(256, 4));
  const Queue queue{{0, 4, false}};

  uint64_t budget = 100;
  EXPECT_EQ(build_uncached_batch_frames(queue, kEveryFrame, budget, WidthRule{1, 128}, cache),
            (Lists{{0, {0, 1, 4}}}));
  EXPECT_EQ(budget, 95u);  // dropped frames still took their unit

  budget = 100;
  EXPECT_EQ(build_uncached_batch_frames(queue, kEveryFrame, budget, WidthRule{0, 128}, cache),
            (Lists{{0, {0, 1, 2, 3, 4}}}));

  FrameCache empty;
  budget = 3;
  EXPECT_EQ(build_uncached_batch_frames(queue, kEveryFrame, budget, WidthRule{1, 1}, empty), (Lists{{0, {0, 1, 2}}}));
  EXPECT_EQ(budget, 0u);
}

TEST(UncachedBatchFrames, AWholeRangeAlreadyCachedGivesNoEntry) {
  FrameCache cache;
  test::roomy(cache);
  for (int32_t f = 0; f < 3; ++f) insert_frame(cache, test::at24(f), test::make_frame(32, 2));
  uint64_t budget = 100;
  EXPECT_EQ(build_uncached_batch_frames(Queue{{0, 2, false}, {3, 3, false}}, kEveryFrame, budget, WidthRule{1, 32},
                                        cache),
            (Lists{{1, {3}}}));
}

// Long walks mark the cached frames once instead of looking each frame up;
// both must list exactly the frames a per-frame lookup would.
TEST(UncachedBatchFrames, LongWalksListWhatPerFrameLookupsWould) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 60; ++round) {
    const int64_t step = std::array<int64_t, 4>{1, 2, 1001, -3}[rng() % 4];
    const uint32_t scale = 24;
    FrameCache cache;
    test::roomy(cache);
    const int cached = 1 + static_cast<int>(rng() % 300);
    for (int i = 0; i < cached; ++i) {
      // Mostly frame keys of this batch, some off the step or at another scale.
      const int64_t frame = static_cast<int64_t>(rng() % 2000) - 200;
      const int64_t value = frame * step + (rng() % 5 == 0 ? 1 : 0);
      if (value < INT32_MIN || value > INT32_MAX) continue;
      const uint32_t key_scale = rng() % 7 == 0 ? 48 : scale;
      insert_frame(cache, FrameKey{static_cast<int32_t>(value), key_scale},
                   test::make_frame(static_cast<uint32_t>(8 + rng() % 3 * 8), 2));
    }
    Queue queue;
    for (int r = static_cast<int>(rng() % 6); r >= 0; --r) {
      const int64_t start = static_cast<int64_t>(rng() % 2200) - 300;
      queue.push_back({start, start + static_cast<int64_t>(rng() % 900) - 50, rng() % 5 == 0});
    }
    const WidthRule rule{1, 16};
    const uint64_t budget_in = rng() % 3 == 0 ? 1 + rng() % 500 : 100000;

    Lists expected;
    uint64_t expected_budget = budget_in;
    uint64_t position = 0;
    for (const QueuedRange& r : queue) {
      RangeFrames listed{position++, {}};
      if (r.replay) continue;
      for (int64_t f = r.start; f <= r.end && expected_budget > 0; ++f) {
        --expected_budget;
        const auto key = batch_frame_key(BatchTimeBase{step, scale}, f);
        if (!key) continue;
        const auto width = cached_frame_width(cache, *key);
        if (!width || *width < rule.min_width) listed.frames.push_back(f);
      }
      if (!listed.frames.empty()) expected.push_back(std::move(listed));
    }
    uint64_t budget = budget_in;
    EXPECT_EQ(build_uncached_batch_frames(queue, BatchTimeBase{step, scale}, budget, rule, cache), expected)
        << "round " << round;
    EXPECT_EQ(budget, expected_budget) << "round " << round;
  }
}

}  // namespace
}  // namespace vel

namespace vel {
namespace {

TEST(SampledFrameCount, CohortFramesOnlyForTheAdaptiveScheduler) {
  const BatchFrameCounters batch{12, 9};
  struct Case {
    bool admission, adaptive;
    uint64_t expected;
  } cases[] = {{true, true, 9}, {true, false, 12}, {false, true, 12}, {false, false, 12}};
  for (const Case& c : cases) {
    EXPECT_EQ(sampled_frame_count(batch, c.admission, c.adaptive), c.expected) << c.admission << c.adaptive;
  }
  EXPECT_EQ(sampled_frame_count(std::nullopt, true, true), 0u);
}

}  // namespace
}  // namespace vel
