#include "pool/batch/frame_tries.h"

#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <vector>

#include "host/log_capture.h"
#include "pool/batch/batch_close.h"
#include "pool/batch/job_watch.h"
#include "pool/schedule/missing_runs.h"
#include "pool/pool_test_units.h"

namespace vel {
namespace {


TEST(FrameTries, TheHundredTwentiethFailureLogsOnceAndGivesUp) {
  fake::LogCapture log;
  FrameTries tries;
  const BatchTimeBase time{1, 24};
  const std::set<int64_t> handed;
  struct Read {
    uint32_t number;
    FailedRead outcome;
    size_t lines;
    bool wanted;
  } reads[] = {
      {1, FailedRead::Counted, 0, true},      {119, FailedRead::Counted, 0, true},
      {120, FailedRead::GivenUp, 1, false},   {121, FailedRead::BeyondLimit, 1, false},
      {500, FailedRead::BeyondLimit, 1, false},
  };
  uint32_t done = 0;
  for (const Read& r : reads) {
    FailedRead last = FailedRead::Counted;
    for (; done < r.number; ++done) last = tries.note_failed_read(7);
    EXPECT_EQ(last, r.outcome) << r.number;
    EXPECT_EQ(log.lines_with("illisible").size(), r.lines) << r.number;
    EXPECT_EQ(frame_file_wanted(tries, handed, 7, time), r.wanted) << r.number;
  }
  const std::vector<std::string> lines = log.lines_with("illisible");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("ERROR: pool: frame 7 illisible après 120 essais"), std::string::npos) << lines[0];
}

TEST(FrameTries, ReadAfter119FailuresStaysSilentAndDelivered) {
  fake::LogCapture log;
  FrameTries tries;
  for (int i = 0; i < 119; ++i) tries.note_failed_read(3);
  tries.note_delivered(3);
  // A decoder that failed on an older copy of the file reports late.
  EXPECT_EQ(tries.note_failed_read(3), FailedRead::AlreadyDelivered);
  EXPECT_EQ(tries.tries_of(3), 0u);
  EXPECT_TRUE(log.lines_with("illisible").empty());
}

TEST(FrameTries, DeliveriesInAnyOrderAreRecordedWithZero) {
  FrameTries tries{{5, 3}, {7, 120}};
  for (int64_t frame : {9, 2, 5, 7, 9, 10}) tries.note_delivered(frame);
  EXPECT_EQ(tries, (FrameTries{{2, 0}, {5, 0}, {7, 0}, {9, 0}, {10, 0}}));
}

TEST(FrameTries, InterleavedWorkersAndGapsKeepEveryFrameApart) {
  const int64_t lo = std::numeric_limits<int64_t>::min();
  const int64_t hi = std::numeric_limits<int64_t>::max();
  struct Case {
    const char* what;
    std::vector<int64_t> delivered;
    std::vector<int64_t> absent;
  } cases[] = {
      {"two workers, frames interleaved", {0, 20, 1, 21, 2, 22, 3}, {4, 19, 23, -1}},
      {"a gap filled last joins two runs", {5, 6, 8, 9, 7}, {4, 10}},
      {"backwards", {9, 8, 7, 6}, {5, 10}},
      {"twice the same frame", {3, 3, 4, 3}, {2, 5}},
      {"the ends of the index range", {hi, lo, hi - 1, lo + 1}, {hi - 2, lo + 2, 0}},
  };
  for (const Case& c : cases) {
    FrameTries tries{{100, 4}};
    FrameTries sorted{{100, 4}};
    std::set<int64_t> distinct(c.delivered.begin(), c.delivered.end());
    for (int64_t f : c.delivered) tries.note_delivered(f);
    for (int64_t f : distinct) sorted.note_delivered(f);
    EXPECT_EQ(tries, sorted) << c.what;
    EXPECT_EQ(tries.size(), distinct.size() + 1) << c.what;
    for (int64_t f : distinct) EXPECT_EQ(tries.tries_of(f), 0u) << c.what << " " << f;
    for (int64_t f : c.absent) EXPECT_EQ(tries.count(f), 0u) << c.what << " " << f;
    EXPECT_EQ(tries.tries_of(100), 4u) << c.what;
    tries.note_delivered(100);
    EXPECT_EQ(tries.tries_of(100), 0u) << c.what;
    EXPECT_EQ(tries.size(), distinct.size() + 1) << c.what << ": a failed frame delivered is counted once";
  }
}

TEST(FrameTries, WhichDiscoveredFilesGoToTheDecoders) {
  FrameTries tries{{1, 0}, {2, 5}, {3, 120}};
  const std::set<int64_t> handed{4};
  struct Case {
    int64_t frame;
    BatchTimeBase time;
    bool wanted;
  } cases[] = {
      {1, {1, 24}, false},  // delivered: never handed over again
      {2, {1, 24}, true},   // failed 5 times: read again
      {3, {1, 24}, false},  // given up
      {4, {1, 24}, false},  // with the decoders now
      {5, {1, 24}, true},
      {5, {int64_t{1} << 30, 24}, false},  // its time leaves 32 bits
  };
  for (const Case& c : cases) EXPECT_EQ(frame_file_wanted(tries, handed, c.frame, c.time), c.wanted) << c.frame;
}

// A frame's tries are spaced in time: a frame whose file its worker fills
// late is not given up within a tick. Tried as soon as each try falls due,
// on a supervision ticking every millisecond or at any odd period, its 120th
// try comes three seconds at the least after its first.
TEST(FrameTries, TheHundredTwentiethTryComesThreeSecondsAfterTheFirst) {
  for (const uint64_t tick : {uint64_t{250'000}, uint64_t{1'000'000}, uint64_t{7'300'000}}) {
    fake::LogCapture log;
    FrameTries tries;
    const BatchTimeBase time{1, 24};
    const std::set<int64_t> handed;
    const uint64_t start = 50 * kS;
    std::vector<uint64_t> tried;
    for (uint64_t now = start; tried.size() < kFrameReadTries && now < start + 60 * kS; now += tick) {
      if (!frame_file_wanted(tries, handed, 2, time, now)) continue;
      tried.push_back(now);
      tries.note_failed_read(2, now);
    }
    ASSERT_EQ(tried.size(), kFrameReadTries) << tick;
    EXPECT_GE(tried.back() - tried.front(), 3 * kS)
        << "tick " << tick << ": 120 tries within " << (tried.back() - tried.front()) / 1'000'000 << " ms";
    EXPECT_FALSE(frame_file_wanted(tries, handed, 2, time, tried.back() + 10 * kS)) << "given up";
    EXPECT_EQ(log.lines_with("illisible").size(), 1u);
  }
}

// The batch waits for a frame whose next try is due, not for one given up,
// nor one whose file is gone or whose try never comes.
TEST(FrameTries, TheBatchAwaitsOnlyRetriesThatCanCome) {
  const uint64_t t = 10 * kS;
  struct Case {
    const char* what;
    uint32_t failures;
    bool file_found;
    uint64_t looked_at;
    size_t awaiting;
  } cases[] = {
      {"failed once, its file found", 1, true, t, 1},
      {"failed once, its file gone", 1, false, t, 0},
      {"its try overdue by a second", 1, true, t + kFrameRetrySpacingNs + kFrameRetryStallNs, 0},
      {"given up", kFrameReadTries, true, t, 0},
  };
  for (const Case& c : cases) {
    FrameTries tries;
    for (uint32_t i = 0; i < c.failures; ++i) tries.note_failed_read(4, t);
    tries.note_files_found(c.file_found ? std::set<int64_t>{4} : std::set<int64_t>{});
    EXPECT_EQ(tries.awaiting_retry(c.looked_at), c.awaiting) << c.what;
  }
  FrameTries tries;
  tries.note_failed_read(4, t);
  tries.note_delivered(4);
  EXPECT_EQ(tries.awaiting_retry(t), 0u) << "delivered";
  EXPECT_FALSE(batch_complete(BatchPending{0, 0, 0, 0, 0, 1})) << "a retry due keeps the batch open";
}

TEST(SilentWatchdog, KilledInTheCallWhereWholeSecondsReachTheLimit) {
  const uint64_t started = 1000 * kS;
  struct Case {
    uint64_t now;
    uint64_t delivered, null_frames;
    bool kill;
  } cases[] = {
      {started + 240 * kS - 1, 0, 0, false},
      {started + 240 * kS, 0, 0, true},
      {started + 241 * kS - 1, 0, 0, true},
      {started + 240 * kS, 1, 0, false},
      {started + 240 * kS, 0, 1, false},
      {started - 1, 0, 0, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(batch_silent_too_long(started, c.now, 240, c.delivered, c.null_frames), c.kill) << c.now - started;
  }
  EXPECT_EQ(silent_batch_killed_text(240, 48),
            "pool: lot muet TUÉ après 240 s (0/48 frame) — clients et moteurs balayés");
}

TEST(HungWorker, NoFrameForTheLimitSinceStartOrLastFrame) {
  const uint64_t started = 1000 * kS;
  struct Case {
    std::optional<uint64_t> last_frame;
    uint64_t now;
    bool hung;
  } cases[] = {
      {std::nullopt, started + 240 * kS - 1, false},
      {std::nullopt, started + 240 * kS, true},
      {started + 10 * kS, started + 249 * kS, false},  // hung after its first frames
      {started + 10 * kS, started + 250 * kS, true},
      {started - kS, started + 240 * kS, true},  // a stamp before the start counts from the start
  };
  for (const Case& c : cases) EXPECT_EQ(job_hung(started, c.last_frame, c.now, 240), c.hung) << c.now - started;
}

TEST(Retirement, ArmedAndEitherIdleOrDue) {
  EXPECT_FALSE(retirement_due(std::nullopt, 10 * kS, 0));
  EXPECT_TRUE(retirement_due(10 * kS, 5 * kS, 0));
  EXPECT_FALSE(retirement_due(10 * kS, 10 * kS - 1, 2));
  EXPECT_TRUE(retirement_due(10 * kS, 10 * kS, 2));
}

TEST(JobFrameInterval, SmoothedGapsOfTenMsOrMore) {
  struct Step {
    double now_ms;
    std::optional<double> interval;
  } steps[] = {
      {100.0, std::nullopt},
      {105.0, std::nullopt},  // under 10 ms: not measured
      {205.0, 100.0},
      {225.0, 80.0},  // max(20, 0.25 × 20 + 0.75 × 100)
      {625.0, 400.0},  // never below the gap itself
      {600.0, 400.0},  // time going back measures nothing
  };
  JobFrameInterval j;
  for (const Step& s : steps) {
    note_job_frame(j, s.now_ms);
    EXPECT_EQ(j.interval_ms, s.interval) << s.now_ms;
  }
  EXPECT_EQ(j.last_frame_ms, 600.0);
}

TEST(MissingRuns, WhatAnExitedWorkerLeftIsQueuedForReplay) {
  const FrameTries tries{{10, 0}, {11, 0}, {14, 3}, {18, 0}};
  const std::set<int64_t> handed{15};
  const std::set<int64_t> null_frames{16};
  struct Case {
    const char* what;
    int64_t start, end;
    bool replay;
    std::vector<QueuedRange> want;
  } cases[] = {
      {"gaps", 10, 19, false, {{12, 13, true}, {17, 17, true}, {19, 19, true}}},
      {"a replay job queues nothing", 10, 19, true, {}},
      {"a complete range queues nothing", 10, 11, false, {}},
      {"an inverted range", 19, 10, false, {}},
      {"nothing came", 20, 22, false, {{20, 22, true}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(missing_runs(c.start, c.end, c.replay, tries, handed, null_frames), c.want) << c.what;
  }
  const int64_t top = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(missing_runs(top - 1, top, false, {}, {}, {}), (std::vector<QueuedRange>{{top - 1, top, true}}));
}

TEST(MissingRuns, FileOutputDrainedAfterAScanSinceTheExits) {
  EXPECT_TRUE(file_output_drained(true, std::nullopt, std::nullopt));
  EXPECT_FALSE(file_output_drained(false, 5, 5));
  EXPECT_FALSE(file_output_drained(true, std::nullopt, 5));
  EXPECT_FALSE(file_output_drained(true, 4, 5));
  EXPECT_TRUE(file_output_drained(true, 5, 5));
}

}  // namespace
}  // namespace vel
