#include <gtest/gtest.h>

#include <vector>

#include "pool/runtime/pool_runtime_ops.h"
#include "pool/pool_test_units.h"

namespace vel {
namespace {

constexpr Instant kRangeT0 = 100 * kNsPerSec;

PoolJob job(int64_t start, int64_t end, Instant started) {
  PoolJob j;
  j.first_frame = start;
  j.last_frame = end;
  j.launched_ns = started;
  return j;
}

PoolRuntime with_plan() {
  PoolRuntime rt = new_pool_runtime(kOutputPsd);
  rt.pool_enabled = true;
  rt.plan.emplace();
  rt.plan->started_at = kRangeT0;
  rt.plan->first_delivery_limit_secs = 30;
  return rt;
}

TEST(PoolPendingRanges, JobsThenQueueUntilTheFirstDeliveryLimit) {
  PoolRuntime rt = with_plan();
  rt.plan->jobs = {job(0, 9, kRangeT0), job(10, 19, kRangeT0)};
  rt.plan->jobs[1].finished = true;
  rt.plan->queued_ranges = {{20, 29}, {30, 39}};
  std::vector<FrameRange> expected{{0, 9}, {20, 29}, {30, 39}};
  EXPECT_EQ(pool_pending_ranges(rt, kRangeT0 + 29 * kNsPerSec), expected);
  EXPECT_TRUE(pool_pending_ranges(rt, kRangeT0 + 30 * kNsPerSec).empty());
  rt.plan->frames_seen.insert(3);
  EXPECT_EQ(pool_pending_ranges(rt, kRangeT0 + 30 * kNsPerSec), expected);
  EXPECT_TRUE(pool_pending_ranges(new_pool_runtime(kOutputPsd), kRangeT0).empty());
}

// A worker that exited keeps its range until the supervision examined it:
// its last frames may still come, and the rest go to its replay.
TEST(PoolPendingRanges, AnExitedJobHoldsItsRangeUntilExaminedAndItsFramesWhileDecoded) {
  PoolRuntime rt = with_plan();
  rt.plan->jobs = {job(0, 9, kRangeT0), job(10, 19, kRangeT0)};
  rt.plan->jobs[0].finished = true;
  rt.plan->ledger.delivered = 1;
  rt.plan->exits_to_examine = {0};
  const std::vector<FrameRange> held{{10, 19}, {0, 9}};
  EXPECT_EQ(pool_pending_ranges(rt, kRangeT0), held);
  EXPECT_EQ(release_async_2d_reservations(rt, 1, AsyncTimingTables{}, kRangeT0), held);
  rt.plan->exits_to_examine.clear();
  const std::vector<FrameRange> running{{10, 19}};
  EXPECT_EQ(pool_pending_ranges(rt, kRangeT0), running);
  // Examined, its last frame still with a decoder.
  rt.plan->ledger.handed.insert(9);
  const std::vector<FrameRange> decoding{{10, 19}, {9, 9}};
  EXPECT_EQ(pool_pending_ranges(rt, kRangeT0), decoding);
}

// What the batch no longer stands for: nothing while it may still deliver,
// all of it once the first-delivery limit passed without a frame, else the
// jobs whose claim was released (2D only, while they run).
// The frame each worker still delivering hands over next: not a silent
// one's, nor one that stopped longer than twice its interval (250 ms at
// least), nor past the end of its range.
TEST(PoolFramesComing, TheNextFrameOfEachWorkerStillDelivering) {
  PoolRuntime rt = with_plan();
  rt.plan->jobs = {job(0, 9, kRangeT0), job(10, 19, kRangeT0), job(20, 29, kRangeT0), job(30, 31, kRangeT0), job(40, 49, kRangeT0)};
  rt.plan->jobs[0].delivered = 3;  // steady at 100 ms a frame
  rt.plan->jobs[0].per_frame_ms = 100.0;
  rt.plan->jobs[0].last_frame_at_ns = kRangeT0 + ms(900);
  // jobs[1] never delivered: silent.
  rt.plan->jobs[2].delivered = 5;  // stopped: 600 ms since its last, interval 200 ms
  rt.plan->jobs[2].per_frame_ms = 200.0;
  rt.plan->jobs[2].last_frame_at_ns = kRangeT0 + ms(400);
  rt.plan->jobs[3].delivered = 2;  // its whole range is in
  rt.plan->jobs[3].last_frame_at_ns = kRangeT0 + ms(950);
  rt.plan->jobs[4].delivered = 1;  // one frame, no interval yet: 250 ms
  rt.plan->jobs[4].last_frame_at_ns = kRangeT0 + ms(800);
  EXPECT_EQ(pool_frames_coming(rt, kRangeT0 + ms(1000)), (std::vector<int64_t>{3, 41}));
  EXPECT_EQ(pool_frames_coming(rt, kRangeT0 + ms(1051)), (std::vector<int64_t>{3}));
  EXPECT_TRUE(pool_frames_coming(rt, kRangeT0 + ms(1151)).empty());
  rt.plan->jobs[0].finished = true;
  EXPECT_EQ(pool_frames_coming(rt, kRangeT0 + ms(1000)), (std::vector<int64_t>{41}));
  EXPECT_TRUE(pool_frames_coming(new_pool_runtime(kOutputPsd), kRangeT0).empty());
}

TEST(PoolGivenUpRanges, TheWholeSilentBatchOrTheReleasedJobs) {
  PoolRuntime rt = with_plan();
  rt.plan->jobs = {job(0, 9, kRangeT0), job(10, 19, kRangeT0), job(20, 29, kRangeT0)};
  rt.plan->jobs[2].finished = true;
  rt.plan->queued_ranges = {{30, 39}};
  EXPECT_TRUE(pool_given_up_ranges(rt, kRangeT0 + 29 * kNsPerSec).empty());
  const std::vector<FrameRange> all{{0, 9}, {10, 19}, {20, 29}, {30, 39}};
  EXPECT_EQ(pool_given_up_ranges(rt, kRangeT0 + 30 * kNsPerSec), all);

  rt.plan->frames_seen.insert(3);
  rt.plan->jobs[1].released = true;
  rt.plan->jobs[2].released = true;
  EXPECT_EQ(pool_given_up_ranges(rt, kRangeT0 + 30 * kNsPerSec), (std::vector<FrameRange>{{10, 19}}));
  rt.comp_is_3d = true;
  EXPECT_TRUE(pool_given_up_ranges(rt, kRangeT0 + 30 * kNsPerSec).empty());
  EXPECT_TRUE(pool_given_up_ranges(new_pool_runtime(kOutputPsd), kRangeT0).empty());
}

AsyncTimingTables tables_at_1(uint64_t count, double first, std::vector<double> completions) {
  AsyncTimingTables t;
  t[0] = {count, first, std::move(completions)};
  return t;
}

TEST(ReleaseAsync2dReservations, EachRoad) {
  struct Case {
    const char* name;
    bool three_d;
    PoolJob j;
    AsyncTimingTables tables;
    std::optional<double> predicted_secs;
    Instant at;
    bool released;
  };
  PoolJob with_first = job(0, 9, kRangeT0);
  with_first.first_frame_ms = 100.0;
  with_first.per_frame_ms = 50.0;
  const Case cases[] = {
      // native: 100 + 10 * 9 = 190 ms; remaining (3000 - 0) * 0.85 > 190.
      {"native earlier", false, job(0, 9, kRangeT0), tables_at_1(3, 100, {0, 10, 20}), std::nullopt, kRangeT0, true},
      {"too few renders, no progress yet", false, job(0, 9, kRangeT0), tables_at_1(2, 100, {}), std::nullopt, kRangeT0, false},
      // no native: budget = 3000 * 1.5 = 4500 ms of waiting.
      {"no useful progress", false, job(0, 9, kRangeT0), {}, std::nullopt, kRangeT0 + ms(4500), true},
      {"still within budget", false, job(0, 9, kRangeT0), {}, std::nullopt, kRangeT0 + ms(4499), false},
      // per-frame 50 ms gives a budget of 100, raised to the 250 ms floor.
      {"floor not reached", false, with_first, {}, std::nullopt, kRangeT0 + ms(349), false},
      {"floor reached", false, with_first, {}, std::nullopt, kRangeT0 + ms(350), true},
      {"3D keeps its jobs", true, job(0, 9, kRangeT0), tables_at_1(3, 100, {0, 10, 20}), std::nullopt, kRangeT0 + ms(9000),
       false},
      {"prediction shorter than native", false, job(0, 9, kRangeT0), tables_at_1(3, 1000, {0, 10, 20}), 0.5, kRangeT0, false},
  };
  for (const auto& c : cases) {
    PoolRuntime rt = with_plan();
    rt.comp_is_3d = c.three_d;
    rt.plan->predicted_secs = c.predicted_secs;
    rt.plan->frames_seen.insert(0);
    rt.plan->jobs = {c.j};
    auto ranges = release_async_2d_reservations(rt, 1, c.tables, c.at);
    EXPECT_EQ(rt.plan->jobs[0].released, c.released) << c.name;
    EXPECT_EQ(ranges.empty(), c.released) << c.name;
  }
}

std::vector<int64_t> frames_of(const std::deque<DiscoveredFile>& q) {
  std::vector<int64_t> out;
  for (const auto& e : q) out.push_back(e.frame);
  return out;
}

TEST(ReorderQueuedRanges, ReadFirstAroundThePlayhead) {
  PoolRuntime rt = with_plan();
  for (int64_t f : {40, 120, 100, 10}) rt.plan->pending_frames.push_back({"f", f, false, 0.0});
  reorder_queued_ranges(rt, 100);
  EXPECT_EQ(frames_of(rt.plan->pending_frames), (std::vector<int64_t>{100, 120, 10, 40}));
}

TEST(ReorderQueuedRanges, StableFromTwentyOneEntries) {
  for (size_t n : {20u, 21u, 64u}) {
    std::deque<DiscoveredFile> q;
    for (size_t i = 0; i < n; ++i) q.push_back({"p" + std::to_string(i), static_cast<int64_t>((i * 7) % 5), false, 0.0});
    sort_read_first(q, 3);
    for (size_t i = 1; i < q.size(); ++i) {
      bool a_ahead = q[i - 1].frame >= 3, b_ahead = q[i].frame >= 3;
      ASSERT_TRUE(a_ahead > b_ahead || (a_ahead == b_ahead && q[i - 1].frame <= q[i].frame)) << n;
      if (q[i - 1].frame == q[i].frame) {
        EXPECT_LT(std::stoi(q[i - 1].path.string().substr(1)), std::stoi(q[i].path.string().substr(1))) << n;
      }
    }
  }
}

TEST(ReorderQueuedRanges, TheSamePlayheadIsNotSortedAgain) {
  PoolRuntime rt = with_plan();
  for (int64_t f : {5, 1}) rt.plan->pending_frames.push_back({"f", f, false, 0.0});
  reorder_queued_ranges(rt, 0);
  rt.plan->pending_frames.push_back({"f", 0, false, 0.0});
  reorder_queued_ranges(rt, 0);
  EXPECT_EQ(frames_of(rt.plan->pending_frames), (std::vector<int64_t>{1, 5, 0}));
}

TEST(LongestRemainingSecs, NeedsEightFramesFromEveryRunningJob) {
  std::vector<PoolJob> jobs{job(0, 99, kRangeT0), job(100, 119, kRangeT0)};
  jobs[0].delivered = 10;  // 1 s per frame, 90 left
  jobs[1].delivered = 7;
  EXPECT_FALSE(longest_remaining_secs(jobs, kRangeT0 + 10 * kNsPerSec));
  jobs[1].finished = true;
  EXPECT_DOUBLE_EQ(*longest_remaining_secs(jobs, kRangeT0 + 10 * kNsPerSec), 90.0);
  EXPECT_DOUBLE_EQ(*longest_remaining_secs({}, kRangeT0), 0.0);
}

TEST(NextAbandonedFrame, StopsAtZeroOrAHundredTwenty) {
  std::vector<uint32_t> tries{3, 119, 120, 0};
  auto it = tries.begin();
  ASSERT_TRUE(next_abandoned_frame(it, tries.end()));
  EXPECT_EQ(it - tries.begin(), 2);
  ++it;
  ASSERT_TRUE(next_abandoned_frame(it, tries.end()));
  EXPECT_EQ(it - tries.begin(), 3);
  ++it;
  EXPECT_FALSE(next_abandoned_frame(it, tries.end()));
}

}  // namespace
}  // namespace vel
