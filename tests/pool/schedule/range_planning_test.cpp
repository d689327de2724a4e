#include "pool/schedule/range_planning.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <random>
#include <set>

namespace vel {
namespace {

std::vector<int64_t> frames_from(int64_t first, int64_t last) {
  std::vector<int64_t> f(static_cast<size_t>(last - first + 1));
  std::iota(f.begin(), f.end(), first);
  return f;
}

TEST(BuildRuns, DocumentedExamples) {
  struct Case {
    std::vector<int64_t> frames;
    uint64_t wanted;
    uint64_t min_run;
    FramePlan expected;
  } cases[] = {
      {{10, 11, 12, 13, 20, 21}, 1, 4, {{10, 13}, {20, 21}}},
      {frames_from(0, 99), 4, 4, {{0, 24}, {25, 49}, {50, 74}, {75, 99}}},
      {frames_from(0, 6), 4, 4, {{0, 6}}},
      {frames_from(0, 7), 4, 4, {{0, 3}, {4, 7}}},  // exactly twice the minimum splits
      {{5, 5, 3, 6}, 1, 4, {{5, 6}}},
      {{}, 4, 4, {}},
      {frames_from(0, 9), 0, 4, {}},
      {frames_from(0, 3), 4, 0, {{0, 0}, {1, 1}, {2, 2}, {3, 3}}},  // a minimum of 0 counts as 1
      {frames_from(0, 9), 2, uint64_t{1} << 62, {{0, 9}}},
  };
  for (const Case& c : cases) EXPECT_EQ(build_runs(c.frames, c.wanted, c.min_run), c.expected);
}

TEST(BuildRuns, SplitsTheLaterOfEqualHalvesFirst) {
  // (0, 99) → (0, 49), (50, 99); the later (50, 99) splits before (0, 49).
  EXPECT_EQ(build_runs(frames_from(0, 99), 3, 4), (FramePlan{{0, 49}, {50, 74}, {75, 99}}));
}

TEST(BuildRuns, ExtremeFramesNeitherOverflowNorLoseFrames) {
  const int64_t top = std::numeric_limits<int64_t>::max();
  const int64_t bottom = std::numeric_limits<int64_t>::min();
  EXPECT_EQ(build_runs(std::vector<int64_t>{top - 1, top, top}, 1, 4), (FramePlan{{top - 1, top}}));
  EXPECT_EQ(build_runs(std::vector<int64_t>{bottom, bottom + 1, top}, 1, 4), (FramePlan{{bottom, bottom + 1}, {top, top}}));
}

TEST(PlayheadOrder, ContainingThenAheadThenBehind) {
  FramePlan plan{{0, 10}, {20, 30}, {40, 60}, {70, 80}, {90, 95}};
  sort_playhead_order(plan, 50);
  EXPECT_EQ(plan, (FramePlan{{40, 60}, {70, 80}, {90, 95}, {0, 10}, {20, 30}}));
}

TEST(PlanBatches, PlayheadOrderOverSplitRuns) {
  EXPECT_EQ(plan_batches(frames_from(0, 99), 4, 60, 1), (FramePlan{{50, 74}, {75, 99}, {0, 24}, {25, 49}}));
}

TEST(PlanBatchesReadFirst, AheadFirstThenOneRangePerRunBehind) {
  struct Case {
    std::vector<int64_t> frames;
    uint64_t wanted;
    int64_t playhead;
    FramePlan expected;
  } cases[] = {
      {frames_from(0, 99), 2, -5, {{0, 49}, {50, 99}}},
      {{0, 1, 2, 10, 11, 20}, 4, 500, {{0, 2}, {10, 11}, {20, 20}}},
      {frames_from(0, 99), 2, 50, {{50, 74}, {75, 99}, {0, 49}}},
      {{0, 1, 2, 3, 50, 51, 52, 53, 60}, 1, 51, {{51, 53}, {60, 60}, {0, 3}, {50, 50}}},
      {frames_from(0, 9), 0, 5, {}},
      {{}, 3, 5, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(plan_batches_read_first(c.frames, c.wanted, c.playhead, 4), c.expected);
}

TEST(MergeBatchesToCount, BridgesSmallestGapsUpToTheLimit) {
  struct Case {
    FramePlan plan;
    int64_t max_gap;
    uint64_t wanted;
    int64_t reference;
    FramePlan expected;
  } cases[] = {
      {{{0, 9}, {12, 19}, {30, 39}}, 5, 1, 0, {{0, 19}, {30, 39}}},
      {{{0, 9}, {12, 19}, {30, 39}}, 100, 1, 0, {{0, 39}}},
      {{{0, 9}, {12, 19}, {30, 39}}, 100, 2, 0, {{0, 19}, {30, 39}}},
      {{{30, 39}, {0, 9}}, 100, 2, 35, {{30, 39}, {0, 9}}},  // small enough: untouched
      {{{0, 9}, {12, 19}, {22, 29}}, 5, 1, 25, {{0, 29}}},
      {{{0, 9}, {12, 19}, {22, 29}, {40, 41}}, 5, 2, 25, {{0, 29}, {40, 41}}},  // equal gaps: first pair first
      {{{0, 20}, {5, 9}, {30, 31}}, -7, 1, 0, {{0, 20}, {30, 31}}},  // overlap bridged, negative gap counts as 0
      {{{40, 49}, {0, 9}, {11, 19}}, 1, 1, 45, {{40, 49}, {0, 19}}},
  };
  for (const Case& c : cases) EXPECT_EQ(merge_batches_to_count(c.plan, c.max_gap, c.wanted, c.reference), c.expected);
}

TEST(MergeBatchesToCount, MatchesTheOneMergeAtATimeRule) {
  // Against a direct reading of the rule, on random plans: repeatedly bridge
  // the first smallest gap in start order.
  std::mt19937_64 rng(12);
  for (int round = 0; round < 300; ++round) {
    FramePlan plan;
    int64_t at = static_cast<int64_t>(rng() % 20);
    const size_t n = 1 + rng() % 40;
    for (size_t i = 0; i < n; ++i) {
      const int64_t len = static_cast<int64_t>(rng() % 6);
      plan.push_back({at, at + len});
      at += len + static_cast<int64_t>(rng() % 9) - 2;
    }
    const int64_t max_gap = static_cast<int64_t>(rng() % 8) - 1;
    const uint64_t wanted = rng() % 6;

    FramePlan expected = plan;
    if (expected.size() > std::max<uint64_t>(wanted, 1)) {
      std::stable_sort(expected.begin(), expected.end(), [](auto& a, auto& b) { return a.start < b.start; });
      while (expected.size() > std::max<uint64_t>(wanted, 1)) {
        size_t best = 0;
        for (size_t i = 1; i + 1 < expected.size(); ++i) {
          if (expected[i + 1].start - expected[i].end < expected[best + 1].start - expected[best].end) best = i;
        }
        if (expected[best + 1].start - expected[best].end - 1 > std::max<int64_t>(max_gap, 0)) break;
        expected[best].end = std::max(expected[best].end, expected[best + 1].end);
        expected.erase(expected.begin() + static_cast<ptrdiff_t>(best) + 1);
      }
      sort_playhead_order(expected, 10);
    }
    EXPECT_EQ(merge_batches_to_count(plan, max_gap, wanted, 10), expected) << "round " << round;
  }
}

TEST(LoopWindow, CountsRangesMeetingTheWrappedWindow) {
  const FramePlan plan{{0, 4}, {10, 20}, {50, 55}, {66, 80}, {95, 99}, {120, 130}};
  struct Case {
    int64_t frame, first, last, window;
    uint64_t expected;
  } cases[] = {
      {250, 0, 99, 20, 2},   // p = 50, window (50, 69)
      {95, 0, 99, 10, 2},    // (95, 99) and (0, 4)
      {95, 0, 99, 100, 5},   // the whole loop; (120, 130) lies outside it
      {95, 0, 99, 1000, 5},
      {-5, 0, 99, 1, 1},     // folds to 95
      {5, 0, 99, 0, 0},
      {5, 10, 9, 10, 0},
      {5, 5, 7, 2, 0},       // no range inside the loop
  };
  for (const Case& c : cases) {
    EXPECT_EQ(count_ranges_in_loop_window(plan, c.frame, c.first, c.last, c.window), c.expected)
        << c.frame << " [" << c.first << ", " << c.last << "] " << c.window;
  }
  EXPECT_EQ(count_ranges_in_loop_window({}, 0, 0, 99, 10), 0u);
  const int64_t top = std::numeric_limits<int64_t>::max();
  const int64_t bottom = std::numeric_limits<int64_t>::min();
  EXPECT_EQ(count_ranges_in_loop_window(FramePlan{{bottom, top}}, top, bottom, top, top), 1u);
}

TEST(QuantileSplit, EvenSharesOrTheWholeRange) {
  struct Case {
    int64_t first, last;
    std::vector<int64_t> frames;
    uint64_t wanted;
    std::vector<FrameRange> expected;
  } cases[] = {
      {0, 99, frames_from(0, 99), 4, {{0, 24}, {25, 49}, {50, 74}, {75, 99}}},
      {0, 99, {80, 90, 95, 99}, 2, {{0, 94}, {95, 99}}},
      {0, 99, {}, 4, {{0, 99}}},
      {0, 99, frames_from(0, 99), 1, {{0, 99}}},
      {0, 99, {0, 0, 0, 0}, 2, {{0, 99}}},       // a quantile that does not advance
      {0, 99, {10, 200, 300}, 3, {{0, 99}}},     // a quantile beyond the range
      {0, 9, {2, 5}, 9, {{0, 4}, {5, 9}}},       // no more pieces than cost points
  };
  for (const Case& c : cases) EXPECT_EQ(split_range_at_quantiles(c.first, c.last, c.frames, c.wanted), c.expected);
}

TEST(SplitQueuedRanges, SpendsTheExtraPiecesInQueueOrder) {
  std::deque<QueuedRange> queue{{0, 99, false}, {200, 299, true}, {400, 409, false}};
  const std::vector<QueuedRangeCosts> costs{{0, frames_from(0, 99)}, {1, frames_from(200, 299)}};
  // Target 5 with 2 entries: 3 extra pieces, all spent on the first range.
  split_queued_ranges(queue, 5, costs);
  EXPECT_EQ(queue, (std::deque<QueuedRange>{{0, 24, false},
                                            {25, 49, false},
                                            {50, 74, false},
                                            {75, 99, false},
                                            {200, 299, true},
                                            {400, 409, false}}));

  std::deque<QueuedRange> untouched{{0, 99, false}};
  split_queued_ranges(untouched, 1, costs);
  EXPECT_EQ(untouched, (std::deque<QueuedRange>{{0, 99, false}}));
}

TEST(SplitQueuedRanges, ReplayFlagFollowsItsPieces) {
  std::deque<QueuedRange> queue{{0, 9, true}};
  const std::vector<QueuedRangeCosts> costs{{0, {0, 5}}};
  split_queued_ranges(queue, 3, costs);
  EXPECT_EQ(queue, (std::deque<QueuedRange>{{0, 4, true}, {5, 9, true}}));
}

// Whatever the frames and playhead, the plan covers each input frame exactly
// once and nothing else.
TEST(PlanningProperty, NeverLosesOrDuplicatesAFrame) {
  std::mt19937_64 rng(20261207);
  for (int round = 0; round < 500; ++round) {
    std::set<int64_t> unique;
    const size_t count = rng() % 300;
    const int64_t spread = 1 + static_cast<int64_t>(rng() % 1000);
    const int64_t base = static_cast<int64_t>(rng() % 2000) - 1000;
    for (size_t i = 0; i < count; ++i) unique.insert(base + static_cast<int64_t>(rng() % static_cast<uint64_t>(spread)));
    const std::vector<int64_t> frames(unique.begin(), unique.end());
    const int64_t playhead = base + static_cast<int64_t>(rng() % static_cast<uint64_t>(spread + 40)) - 20;
    const uint64_t wanted = rng() % 12;
    const uint64_t min_run = rng() % 10;

    const FramePlan read_first = plan_batches_read_first(frames, wanted, playhead, min_run);
    const FramePlan merged = merge_batches_to_count(plan_batches(frames, wanted, playhead, min_run), 0, wanted, playhead);
    for (const FramePlan* plan : {&read_first, &merged}) {
      if (wanted == 0) {
        EXPECT_TRUE(plan->empty());
        continue;
      }
      std::vector<int64_t> covered;
      for (const FrameRange& r : *plan) {
        ASSERT_LE(r.start, r.end);
        for (int64_t f = r.start; f <= r.end; ++f) covered.push_back(f);
      }
      std::sort(covered.begin(), covered.end());
      ASSERT_EQ(covered, frames) << "round " << round << " playhead " << playhead << " wanted " << wanted;
    }
    if (wanted > 0) {
      // Read first: nothing behind the playhead precedes a range ahead of it.
      bool seen_behind = false;
      for (const FrameRange& r : read_first) {
        if (r.end < playhead) seen_behind = true;
        else EXPECT_FALSE(seen_behind) << "round " << round;
      }
    }
  }
}

}  // namespace
}  // namespace vel
