#include "pool/schedule/launch_preparation.h"

#include <gtest/gtest.h>

#include <vector>

#include "pool/process/spawn_retry.h"
#include "pool/pool_test_units.h"

namespace vel {
namespace {


TEST(MfrShares, NoWorkerPastEightyPercentTogether) {
  struct Case {
    const char* what;
    uint64_t shares;
    std::vector<uint32_t> running;
    uint32_t batch_percent;
    uint64_t active;
    MfrShare want;
  } cases[] = {
      {"40 + 40 + 40 is refused", 2, {40, 40}, 40, 2, {40, true, false}},
      {"a third of 80 fits beside 26 + 26", 3, {26, 26}, 26, 2, {26, false, true}},
      {"first worker, same share", 1, {}, 80, 0, {80, false, false}},
      {"first worker, new share", 2, {}, 80, 0, {40, false, true}},
      {"80 shares give 1 each", 80, {}, 1, 0, {1, false, false}},
      {"more shares than percent still give 1", 200, {}, 1, 0, {1, false, false}},
  };
  for (const Case& c : cases) {
    const MfrShare got = choose_mfr_share(c.shares, c.running, c.batch_percent, c.active);
    EXPECT_EQ(got.percent, c.want.percent) << c.what;
    EXPECT_EQ(got.refused, c.want.refused) << c.what;
    EXPECT_EQ(got.measure_invalid, c.want.measure_invalid) << c.what;
  }
  EXPECT_EQ(launch_shares(2, 5, 3), 3u);
  EXPECT_EQ(launch_shares(0, 0, 8), 1u);
  EXPECT_EQ(launch_shares(0, 9, 0), 1u);
}

TEST(LaunchLimit, ByModeAdmissionAndGrant) {
  struct Case {
    const char* what;
    LaunchLimitInputs in;
    uint64_t want;
  } cases[] = {
      {"fixed, admission on: the verdict", {false, true, 8, 1, 5, 0, false}, 1},
      {"fixed, admission off: per batch", {false, false, 4, 1, 5, 0, false}, 4},
      {"fixed, one worker under a grant", {false, true, 8, 1, 5, 1, true}, 2},
      {"a grant with two workers active", {false, true, 8, 1, 5, 2, true}, 1},
      {"a grant on a one-worker batch", {false, true, 1, 1, 5, 1, true}, 1},
      {"adaptive: the level", {true, true, 8, 1, 3, 0, false}, 3},
      {"adaptive: capped per batch", {true, true, 2, 1, 3, 0, false}, 2},
      {"never 0", {false, true, 8, 0, 5, 0, false}, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(launch_limit(c.in), c.want) << c.what;
}

TEST(PrepareLaunch, ARefusedRangeStaysAtTheFront) {
  std::deque<QueuedRange> ranges{{0, 9, false}, {10, 19, false}};
  const std::vector<uint32_t> running{40, 40};
  LaunchInputs in;
  in.time = {1, 24};
  in.active = 2;
  in.limit = 2;
  in.running_percents = running;
  in.batch_percent = 40;
  uint64_t budget = kLaunchFrameBudget;
  uint64_t expected = 20;
  const PreparedLaunch p = prepare_launch(ranges, in, budget, expected);
  EXPECT_EQ(p.verdict, LaunchVerdict::Refused);
  EXPECT_EQ(ranges, (std::deque<QueuedRange>{{0, 9, false}, {10, 19, false}}));
  EXPECT_EQ(expected, 20u);
}

TEST(PrepareLaunch, SharesClearTheMeasureWhenTheyChangeOrAWorkerRuns) {
  struct Case {
    uint64_t active;
    uint64_t queued;
    uint64_t limit;
    uint32_t batch_percent;
    uint32_t percent;
    bool measure_invalid;
  } cases[] = {
      {0, 1, 1, 80, 80, false},
      {0, 2, 4, 80, 40, true},   // two ranges: 40 % each
      {1, 2, 4, 26, 26, true},   // a worker already runs
      {0, 5, 8, 16, 16, false},  // five shares
  };
  for (const Case& c : cases) {
    std::deque<QueuedRange> ranges(c.queued, QueuedRange{0, 9, false});
    LaunchInputs in;
    in.active = c.active;
    in.limit = c.limit;
    in.batch_percent = c.batch_percent;
    uint64_t budget = kLaunchFrameBudget, expected = 100;
    const PreparedLaunch p = prepare_launch(ranges, in, budget, expected);
    ASSERT_EQ(p.verdict, LaunchVerdict::Launch);
    EXPECT_EQ(p.mfr_percent, c.percent) << c.queued;
    EXPECT_EQ(p.measure_invalid, c.measure_invalid) << c.queued;
    EXPECT_EQ(ranges.size(), c.queued - 1);
  }
}

TEST(PrepareLaunch, TheGateSpeaksOnlyWhileNoWorkerIsActive) {
  std::vector<uint64_t> asked;
  const auto gate = [&](uint64_t shares) {
    asked.push_back(shares);
    return uint64_t{1};
  };
  std::deque<QueuedRange> ranges(3, QueuedRange{0, 9, false});
  LaunchInputs in;
  in.limit = 4;
  in.gate = gate;
  uint64_t budget = kLaunchFrameBudget, expected = 30;
  EXPECT_EQ(prepare_launch(ranges, in, budget, expected).mfr_percent, 80u);
  in.active = 1;
  in.batch_percent = 80;
  const std::vector<uint32_t> running{80};
  in.running_percents = running;
  EXPECT_EQ(prepare_launch(ranges, in, budget, expected).verdict, LaunchVerdict::Refused);
  EXPECT_EQ(asked, (std::vector<uint64_t>{3}));
}

TEST(PrepareLaunch, TheCutBeforeLaunch) {
  const BatchTimeBase time{1 << 20, 24};  // frames from 2048 on leave 32 bits
  const auto served_below_5 = [](int64_t f) { return f < 5; };
  struct Case {
    const char* what;
    QueuedRange range;
    bool pump_form;
    uint64_t budget;
    LaunchVerdict verdict;
    QueuedRange left;
    uint64_t expected_after;
    const char* record;
  } cases[] = {
      {"nothing to cut", {10, 19, false}, true, 1024, LaunchVerdict::Launch, {10, 19, false}, 100, nullptr},
      {"served front (pump)", {0, 9, false}, true, 1024, LaunchVerdict::Launch, {5, 9, false}, 95,
       "POOL_QUEUE original=(0, 9) accepted=(5, 9) frames_already_served=5"},
      {"served front ignored by the idle form", {0, 9, false}, false, 1024, LaunchVerdict::Launch, {0, 9, false}, 100,
       nullptr},
      {"no host time at the back", {2040, 2050, false}, false, 1024, LaunchVerdict::Launch, {2040, 2047, false}, 97,
       "POOL_QUEUE original=(2040, 2050) accepted=(2040, 2047) frames_already_served=3"},
      {"a replay keeps expected", {0, 9, true}, true, 1024, LaunchVerdict::Launch, {5, 9, true}, 100,
       "POOL_QUEUE original=(0, 9) accepted=(5, 9) frames_already_served=5"},
      {"emptied by the cut: dropped, not launched", {0, 4, false}, true, 1024, LaunchVerdict::Dropped, {5, 4, false},
       95, "POOL_QUEUE original=(0, 4) accepted=(5, 4) frames_already_served=5"},
      {"inverted from the start", {9, 3, false}, true, 1024, LaunchVerdict::Dropped, {9, 3, false}, 100, nullptr},
      {"the budget bounds the cut", {0, 9, false}, true, 2, LaunchVerdict::Launch, {2, 9, false}, 98,
       "POOL_QUEUE original=(0, 9) accepted=(2, 9) frames_already_served=2"},
  };
  for (const Case& c : cases) {
    std::deque<QueuedRange> ranges{c.range, {100, 109, false}};
    LaunchInputs in;
    in.time = time;
    in.limit = 1;
    in.batch_percent = 80;
    if (c.pump_form) in.served = served_below_5;
    uint64_t budget = c.budget, expected = 100;
    const PreparedLaunch p = prepare_launch(ranges, in, budget, expected);
    EXPECT_EQ(p.verdict, c.verdict) << c.what;
    EXPECT_EQ(p.range, c.left) << c.what;
    EXPECT_EQ(expected, c.expected_after) << c.what;
    EXPECT_EQ(p.queue_record.value_or(""), c.record ? c.record : "") << c.what;
    EXPECT_EQ(ranges, (std::deque<QueuedRange>{{100, 109, false}})) << c.what;
  }
  std::deque<QueuedRange> none;
  uint64_t budget = 1, expected = 0;
  EXPECT_EQ(prepare_launch(none, LaunchInputs{}, budget, expected).verdict, LaunchVerdict::NoRange);
}

TEST(SpawnRetry, BoundedRetriesWhileOthersRunDropAtOnceOtherwise) {
  SpawnRetryPolicy alone;
  EXPECT_EQ(alone.failed(0, false), SpawnFailureAction::Drop);
  EXPECT_TRUE(alone.may_launch(0));

  SpawnRetryPolicy p;
  uint64_t now = 10 * kS;
  EXPECT_EQ(p.failed(now, true), SpawnFailureAction::Retry);
  for (uint32_t retry = 1; retry <= kSpawnRetries; ++retry) {
    EXPECT_FALSE(p.may_launch(now + kS - 1)) << retry;  // at most once a second
    now += kS;
    ASSERT_TRUE(p.may_launch(now)) << retry;
    EXPECT_EQ(p.failed(now, true), retry < kSpawnRetries ? SpawnFailureAction::Retry : SpawnFailureAction::Drop)
        << retry;
  }
  EXPECT_TRUE(p.may_launch(now));  // the next range starts afresh
  EXPECT_EQ(p.retries_used(), 0u);

  SpawnRetryPolicy recovered;
  EXPECT_EQ(recovered.failed(0, true), SpawnFailureAction::Retry);
  recovered.succeeded();
  EXPECT_TRUE(recovered.may_launch(0));
  EXPECT_EQ(recovered.failed(0, true), SpawnFailureAction::Retry);
  EXPECT_EQ(recovered.retries_used(), 0u);
}

}  // namespace
}  // namespace vel
