#include "pool/range_frames.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vel
