#include <gtest/gtest.h>

#include "pool/schedule/engine_memory_samples.h"
#include "pool/schedule/scheduler_assessment.h"
#include "pool/pool_test_units.h"

namespace vel {
namespace {

constexpr uint64_t kGB = 1'000'000'000;

// A sample collected over 100 ms ending at `end_s` seconds, frames read then.
EngineMemorySample sample(double end_s, std::vector<uint64_t> engines, uint64_t available = 64 * kGiB,
                          uint64_t frames = 0, uint32_t load = 80) {
  const auto end = static_cast<uint64_t>(end_s * 1e9);
  return EngineMemorySample{std::move(engines), end - kS / 10, end, end, available, frames, load};
}

TEST(EngineSamples, RefusedSamplesEmptyTheRingAndKeepThePeak) {
  struct Case {
    const char* what;
    EngineMemorySample bad;
  } cases[] = {
      {"no engine", sample(11, {})},
      {"a zero engine", sample(11, {5 * kGB, 0})},
      {"end before start", EngineMemorySample{{kGB}, 11 * kS, 10 * kS, 11 * kS, 0, 0, 0}},
      {"frames read before the end", EngineMemorySample{{kGB}, 10 * kS, 11 * kS, 10 * kS, 0, 0, 0}},
      {"collection over 3 s", EngineMemorySample{{kGB}, 7 * kS, 10 * kS + 1, 10 * kS + 1, 0, 0, 0}},
      {"not after the newest", sample(10, {kGB})},
  };
  for (const Case& c : cases) {
    SchedulerHistory h;
    ASSERT_TRUE(record_engine_sample(h, sample(10, {7 * kGB})));
    EXPECT_FALSE(record_engine_sample(h, c.bad)) << c.what;
    EXPECT_TRUE(h.samples.empty()) << c.what;
    EXPECT_EQ(h.peak_engine_bytes, 7 * kGB) << c.what;
  }
}

// A worker more or fewer, a gap or a new batch's counter: the sample is kept
// as the first of a new series, so admission does not lose a second of the
// short ranges workers run.
TEST(EngineSamples, ABrokenSeriesStartsAgainWithTheNewSample) {
  struct Case {
    const char* what;
    EngineMemorySample next;
  } cases[] = {
      {"engine count changed", sample(11, {kGB, kGB}, 64 * kGiB, 12)},
      {"3.2 s after the newest", sample(13.2, {kGB}, 64 * kGiB, 12)},
      {"frame counter went back", sample(11, {kGB}, 64 * kGiB, 2)},
  };
  for (const Case& c : cases) {
    SchedulerHistory h;
    ASSERT_TRUE(record_engine_sample(h, sample(9, {7 * kGB}, 64 * kGiB, 5)));
    ASSERT_TRUE(record_engine_sample(h, sample(10, {7 * kGB}, 64 * kGiB, 10)));
    EXPECT_TRUE(record_engine_sample(h, c.next)) << c.what;
    ASSERT_EQ(h.samples.size(), 1u) << c.what;
    EXPECT_EQ(h.samples.back().collection_end_ns, c.next.collection_end_ns) << c.what;
  }
}

TEST(EngineSamples, ExactlyThreeSecondsStillCounts) {
  SchedulerHistory h;
  EXPECT_TRUE(record_engine_sample(h, EngineMemorySample{{kGB}, 7 * kS, 10 * kS, 10 * kS, 0, 0, 0}));
  EXPECT_TRUE(record_engine_sample(h, EngineMemorySample{{kGB}, 12 * kS, 13 * kS, 13 * kS, 0, 0, 0}));
  EXPECT_EQ(h.samples.size(), 2u);
}

TEST(EngineSamples, ResetRefusesOlderCollectionsAndTheRingKeeps32) {
  SchedulerHistory h;
  reset_samples(h, 10 * kS);
  EXPECT_FALSE(record_engine_sample(h, sample(10.05, {kGB})));  // begun at 9.95 s
  for (int i = 0; i < 40; ++i) EXPECT_TRUE(record_engine_sample(h, sample(11 + i, {kGB + uint64_t(i)})));
  EXPECT_EQ(h.samples.size(), 32u);
  EXPECT_EQ(h.samples.front().collection_end_ns, 19 * kS);
  EXPECT_EQ(h.peak_engine_bytes, kGB + 39);
  clear_samples(h);
  EXPECT_TRUE(h.samples.empty());
  EXPECT_EQ(h.peak_engine_bytes, kGB + 39);
}

TEST(EngineProjection, PeakAndTwiceTheLargerGrowth) {
  SchedulerHistory h;
  for (auto [t, total] : {std::pair{10.0, 10 * kGB}, {11.0, 10'400'000'000}, {12.0, 10'600'000'000}}) {
    ASSERT_TRUE(record_engine_sample(h, sample(t, {total / 2, total / 2}, 20 * kGB)));
  }
  const auto p = project_engine_memory(h, 12 * kS);
  ASSERT_TRUE(p);
  const uint64_t peak = 5'300'000'000;
  EXPECT_EQ(p->bytes_per_engine, peak + peak / 4 + 800'000'000);
  EXPECT_EQ(p->available_bytes, 20 * kGB);
  EXPECT_EQ(p->collection_end_ns, 12 * kS);
  EXPECT_FALSE(project_engine_memory(h, 15 * kS + 1));  // newest more than 3 s old
}

TEST(EngineProjection, NoneWhileMemoryStillGrows) {
  SchedulerHistory h;
  for (auto [t, total] : {std::pair{10.0, 10 * kGB}, {11.0, 10'500'000'001}, {12.0, 10'600'000'000}}) {
    ASSERT_TRUE(record_engine_sample(h, sample(t, {total})));
  }
  EXPECT_FALSE(project_engine_memory(h, 12 * kS));
  SchedulerHistory two;
  record_engine_sample(two, sample(10, {kGB}));
  record_engine_sample(two, sample(11, {kGB}));
  EXPECT_FALSE(project_engine_memory(two, 11 * kS));
}

// Three steady samples of `workers` engines 3 s apart, `frames_per_step`
// frames between them, at `load` percent MFR.
SchedulerHistory steady(uint64_t workers, uint64_t frames_per_step, uint64_t available = 64 * kGiB,
                        uint32_t load = 80) {
  SchedulerHistory h;
  for (int i = 0; i < 3; ++i) {
    record_engine_sample(h, sample(10 + 3 * i, std::vector<uint64_t>(workers, 2 * kGiB), available,
                                   frames_per_step * uint64_t(i), load));
  }
  return h;
}

TEST(AssessScheduler, OutcomeThresholds) {
  struct Case {
    const char* what;
    SchedulerHistory history;
    uint64_t now_s, current, requested;
    SchedulerOutcome outcome;
    uint64_t target;
  } cases[] = {
      {"empty", SchedulerHistory{}, 16, 1, 2, SchedulerOutcome::Missing, 1},
      {"stale", steady(1, 10), 20, 1, 2, SchedulerOutcome::Stale, 1},
      {"no workers", steady(1, 10), 16, 0, 2, SchedulerOutcome::Missing, 1},
      {"other engine count", steady(1, 10), 16, 2, 3, SchedulerOutcome::Missing, 1},
      {"3.9 GiB", steady(1, 10, 4 * kGiB - 100 * (kGiB / 1000)), 16, 1, 2, SchedulerOutcome::Pressure, 1},
      {"few frames", steady(1, 0), 16, 1, 2, SchedulerOutcome::Observing, 1},
      {"requested reached", steady(2, 10), 16, 2, 2, SchedulerOutcome::Capacity, 2},
      {"no room for another", steady(1, 10, 4 * kGiB + 2 * kGiB), 16, 1, 2, SchedulerOutcome::Headroom, 1},
      {"rate unknown", steady(1, 3), 16, 1, 2, SchedulerOutcome::Observing, 1},
      {"admit", steady(1, 10), 16, 1, 4, SchedulerOutcome::Admit, 2},
      {"no earlier rate to beat", steady(2, 10), 16, 2, 4, SchedulerOutcome::Throughput, 2},
      // A worker's range lasts a few seconds: the rate is read over the two
      // seconds the verdict observes, not over a span no range reaches.
      {"admit after two seconds", [] {
         SchedulerHistory h;
         for (int i = 0; i < 3; ++i) record_engine_sample(h, sample(10 + i, {2 * kGiB}, 64 * kGiB, 5 * uint64_t(i)));
         return h;
       }(), 12, 1, 4, SchedulerOutcome::Admit, 2},
  };
  for (Case& c : cases) {
    const SchedulerAssessment a = assess_scheduler(c.history, c.now_s * kS, c.current, c.requested);
    EXPECT_EQ(a.outcome, c.outcome) << c.what << ": " << scheduler_outcome_name(a.outcome);
    EXPECT_EQ(a.target, c.target) << c.what;
  }
}

TEST(AssessScheduler, SlowerWithMoreWorkersSetsTheCeiling) {
  SchedulerHistory h = steady(4, 12);  // 24 frames over 6 s: 4 frames/s
  h.rates.push_back({3, 6.0});         // before: 6 frames/s with 3 workers
  SchedulerAssessment a = assess_scheduler(h, 16 * kS, 4, 8);
  EXPECT_EQ(a.outcome, SchedulerOutcome::Throughput);
  EXPECT_EQ(a.target, 3u);
  EXPECT_EQ(a.rate, 4.0);
  EXPECT_EQ(a.previous_rate, 6.0);
  EXPECT_TRUE(h.ceiling_active);
  EXPECT_EQ(h.ceiling_workers, 4u);
  ASSERT_EQ(h.rates.size(), 2u);
  EXPECT_EQ(h.rates[1].workers, 4u);

  // An earlier, lower ceiling stays.
  SchedulerHistory lower = steady(4, 12);
  lower.rates.push_back({3, 6.0});
  lower.ceiling_active = true;
  lower.ceiling_workers = 2;
  assess_scheduler(lower, 16 * kS, 4, 8);
  EXPECT_EQ(lower.ceiling_workers, 2u);
}

TEST(AssessScheduler, UnloadedWorkersDoNotRecordRates) {
  SchedulerHistory h = steady(1, 10, 64 * kGiB, 78);  // 78 + 1 is not above 79
  assess_scheduler(h, 16 * kS, 1, 2);
  EXPECT_TRUE(h.rates.empty());
}

TEST(AssessScheduler, CeilingStopsAdmission) {
  SchedulerHistory h = steady(1, 10);
  h.ceiling_active = true;
  h.ceiling_workers = 2;
  EXPECT_EQ(assess_scheduler(h, 16 * kS, 1, 4).outcome, SchedulerOutcome::Throughput);
}

TEST(ExtraWorker, PaysOffOnlyWithTimeToSpare) {
  SchedulerAssessment admit;
  admit.outcome = SchedulerOutcome::Admit;
  admit.target = 2;
  admit.rate = 2.0;
  TrialFigures f{5.0, 200, 0.0, 1.0, 50.0};
  // 100 s now; 15 s + 200 / 2.2 = 105.9 s with one more: no.
  EXPECT_FALSE(extra_worker_pays_off(admit, f));

  f.useful_queued_frames = 20000;
  auto p = extra_worker_pays_off(admit, f);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->workers, 2u);
  EXPECT_DOUBLE_EQ(p->current_secs, 10000.0);
  EXPECT_DOUBLE_EQ(p->transition_secs, 15.0);
  EXPECT_DOUBLE_EQ(p->predicted_fps, 2.2);
  EXPECT_DOUBLE_EQ(p->margin_secs, 300.0);

  struct Case {
    const char* what;
    SchedulerAssessment a;
    TrialFigures f;
  } refused[] = {
      {"not admitted", [&] { auto a = admit; a.outcome = SchedulerOutcome::Observing; return a; }(), f},
      {"one worker", [&] { auto a = admit; a.target = 1; return a; }(), f},
      {"no start-up cost", admit, TrialFigures{std::nullopt, 20000, 0.0, 1.0, 50.0}},
      {"cpu at 90", admit, TrialFigures{5.0, 20000, 0.0, 1.0, 90.0}},
      {"factor below 1", admit, TrialFigures{5.0, 20000, 0.0, 0.99, 50.0}},
      {"negative fixed cost", admit, TrialFigures{5.0, 20000, -1.0, 1.0, 50.0}},
      {"too few queued", admit, TrialFigures{5.0, 15, 0.0, 1.0, 50.0}},
      {"three without earlier rate", [&] { auto a = admit; a.target = 3; return a; }(), f},
      {"three no faster than two", [&] { auto a = admit; a.target = 3; a.previous_rate = 2.0; return a; }(), f},
  };
  for (const Case& c : refused) EXPECT_FALSE(extra_worker_pays_off(c.a, c.f)) << c.what;

  // With the pool's CPU share known, a second engine is predicted to add
  // what one engine takes while the machine has it idle: a short queue is
  // worth it when the machine is idle, not when it is busy.
  // 240 frames at 24 frames/s with 0.5 s of start-up a worker: 10 s now.
  struct Gain {
    const char* what;
    double pool_cpu, total_cpu;
    std::optional<double> predicted_fps;
  } gains[] = {
      {"idle machine: one engine's worth more", 12.0, 20.0, 48.0},
      {"half an engine idle", 40.0, 80.0, 36.0},
      {"a quarter of an engine idle: not worth it", 80.0, 80.0, std::nullopt},
      {"unknown share: a tenth, not worth it", 0.0, 50.0, std::nullopt},
  };
  for (const Gain& g : gains) {
    const TrialFigures short_queue{0.5, 240, 0.0, 1.0, g.total_cpu, g.pool_cpu};
    SchedulerAssessment fast = admit;
    fast.rate = 24.0;
    const auto p2 = extra_worker_pays_off(fast, short_queue);
    ASSERT_EQ(p2.has_value(), g.predicted_fps.has_value()) << g.what;
    if (p2) {
      EXPECT_DOUBLE_EQ(p2->predicted_fps, *g.predicted_fps) << g.what;
    }
  }

  SchedulerAssessment three = admit;
  three.target = 3;
  three.previous_rate = 1.0;  // gain capped at 0.1
  ASSERT_TRUE(extra_worker_pays_off(three, f));
  EXPECT_DOUBLE_EQ(extra_worker_pays_off(three, f)->predicted_fps, 2.2);
}

}  // namespace
}  // namespace vel
