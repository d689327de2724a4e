#include "pool/schedule/adaptive_scheduler.h"

#include <gtest/gtest.h>

#include <vector>
#include "pool/pool_test_units.h"

namespace vel {
namespace {


// A signal proposing `target` workers whose proposal has the given
// transition time: start-up cost t / (target + 1), no fixed cost.
TrialSignal proposing(uint64_t target, double transition_secs, std::optional<double> throughput = 10.0) {
  TrialSignal s;
  s.throughput = throughput;
  s.target = target;
  s.assessment.outcome = SchedulerOutcome::Admit;
  s.assessment.target = target;
  s.assessment.rate = 2.0;
  s.assessment.previous_rate = 1.0;
  s.figures = TrialFigures{transition_secs / static_cast<double>(target + 1), 1'000'000, 0.0, 1.0, 10.0};
  return s;
}

TEST(TrialOutcomeNames, OneEnumerationForEveryTrialRecord) {
  const char* names[] = {"Cold", "Started", "Confirmed", "Loss", "Pressure",
                         "Expired", "Cancelled", "QueueReduced", "SpawnFailed", "UnknownProof"};
  for (uint8_t v = 0; v < 10; ++v) EXPECT_EQ(trial_outcome_name(static_cast<TrialOutcome>(v)), names[v]);
}

TEST(StartTrial, LengthIsTwiceTheTransitionPlus15Within30To120) {
  struct Case {
    double transition_secs;
    uint64_t length_s;
  } cases[] = {{5.0, 30}, {7.5, 30}, {40.0, 95}, {52.5, 120}, {60.0, 120}};
  for (const Case& c : cases) {
    SchedulerTrial t;
    const auto p = start_scheduler_trial(t, 100 * kS, proposing(2, c.transition_secs));
    ASSERT_TRUE(p) << c.transition_secs;
    EXPECT_EQ(t.trial_length_ns, c.length_s * kS) << c.transition_secs;
    EXPECT_EQ(t.level, 2u);
    EXPECT_EQ(t.outcome, TrialOutcome::Started);
    EXPECT_EQ(t.trial_opened_at_ns, 100 * kS);
    EXPECT_EQ(t.baseline_throughput, 10.0);
    EXPECT_FALSE(t.trial_started_at_ns);
  }
}

TEST(StartTrial, NeverWhileOneRunsNorBeyondTheCeiling) {
  SchedulerTrial running;
  ASSERT_TRUE(start_scheduler_trial(running, 0, proposing(2, 5.0)));
  EXPECT_FALSE(start_scheduler_trial(running, kS, proposing(3, 5.0)));

  SchedulerTrial capped;
  capped.ceiling = 2;
  EXPECT_FALSE(start_scheduler_trial(capped, 0, proposing(2, 5.0)));
  capped.ceiling = 3;
  EXPECT_TRUE(start_scheduler_trial(capped, 0, proposing(2, 5.0)));

  SchedulerTrial skipping;
  EXPECT_FALSE(start_scheduler_trial(skipping, 0, proposing(3, 5.0)));  // only one level at a time
  EXPECT_EQ(skipping.outcome, TrialOutcome::Cold);
}

TEST(StartTrial, WithoutThroughputTheLevelMovesButNoTrialRuns) {
  SchedulerTrial t;
  EXPECT_FALSE(start_scheduler_trial(t, 0, proposing(2, 5.0, std::nullopt)));
  EXPECT_EQ(t.level, 2u);
  EXPECT_EQ(t.outcome, TrialOutcome::Started);
  EXPECT_FALSE(t.trial_length_ns);
}

// A trial at level 2 opened at 0 s, measured from 10 s, baseline 10 frames/s.
SchedulerTrial measured_trial() {
  SchedulerTrial t;
  EXPECT_TRUE(start_scheduler_trial(t, 0, proposing(2, 5.0)));
  t.trial_started_at_ns = 10 * kS;
  return t;
}

TEST(EvaluateTrial, KeepWaitRevertThresholds) {
  const std::vector<uint32_t> equal_shares{40, 40};
  struct Case {
    double throughput;
    TrialOutcome outcome;
    uint64_t level;
    bool running;
  } cases[] = {
      {10.0 * 1.05, TrialOutcome::Confirmed, 2, false},
      {10.49, TrialOutcome::Started, 2, true},
      {9.5, TrialOutcome::Started, 2, true},
      {8.99, TrialOutcome::Loss, 1, false},
  };
  for (const Case& c : cases) {
    SchedulerTrial t = measured_trial();
    TrialSignal s = proposing(2, 5.0, c.throughput);
    evaluate_scheduler_trial(t, 20 * kS, s, equal_shares, 2);
    EXPECT_EQ(t.outcome, c.outcome) << c.throughput;
    EXPECT_EQ(t.level, c.level) << c.throughput;
    EXPECT_EQ(t.trial_length_ns.has_value(), c.running) << c.throughput;
    if (c.outcome == TrialOutcome::Confirmed) {
      EXPECT_EQ(t.retry_not_before_ns, 25 * kS);
    }
    if (c.outcome == TrialOutcome::Loss) {
      EXPECT_EQ(t.ceiling, 2u);
    }
  }
}

TEST(EvaluateTrial, UnsettledSharesWaitUntilTheLengthRunsOut) {
  SchedulerTrial t = measured_trial();  // 30 s from the measured start at 10 s
  const std::vector<uint32_t> uneven{80, 40};
  evaluate_scheduler_trial(t, 39 * kS, proposing(2, 5.0, 100.0), uneven, 2);
  EXPECT_EQ(t.outcome, TrialOutcome::Started);
  evaluate_scheduler_trial(t, 39 * kS, proposing(2, 5.0, 100.0), std::vector<uint32_t>{40, 40}, 1);
  EXPECT_EQ(t.outcome, TrialOutcome::Started);  // one active worker for a level of 2
  evaluate_scheduler_trial(t, 40 * kS, proposing(2, 5.0, 1.0), uneven, 2);
  EXPECT_EQ(t.outcome, TrialOutcome::Expired);
  EXPECT_EQ(t.level, 1u);
  EXPECT_EQ(t.ceiling, 2u);
}

TEST(EvaluateTrial, UnmeasuredTrialTimesFromItsOpening) {
  SchedulerTrial t;
  ASSERT_TRUE(start_scheduler_trial(t, 0, proposing(2, 5.0)));
  evaluate_scheduler_trial(t, 30 * kS - 1, proposing(2, 5.0, 100.0), std::vector<uint32_t>{40, 40}, 2);
  EXPECT_EQ(t.outcome, TrialOutcome::Started);  // no measured start yet: never judged on throughput
  evaluate_scheduler_trial(t, 30 * kS, proposing(2, 5.0), std::vector<uint32_t>{40, 40}, 2);
  EXPECT_EQ(t.outcome, TrialOutcome::Expired);
}

TEST(EvaluateTrial, AbortAndActiveChecksRevertEvenWithoutATrial) {
  SchedulerTrial t = measured_trial();
  TrialSignal abort = proposing(2, 5.0);
  abort.kind = kTrialSignalAbort;
  evaluate_scheduler_trial(t, 11 * kS, abort, {}, 2);
  EXPECT_EQ(t.outcome, TrialOutcome::Pressure);
  EXPECT_EQ(t.level, 1u);
  EXPECT_EQ(t.ceiling, 2u);

  SchedulerTrial idle;
  TrialSignal check = proposing(1, 5.0);
  check.kind = kTrialSignalActiveCheck;
  evaluate_scheduler_trial(idle, 0, check, {}, 1);
  EXPECT_EQ(idle.outcome, TrialOutcome::Cold);  // not more active than allowed
  evaluate_scheduler_trial(idle, 0, check, {}, 2);
  EXPECT_EQ(idle.outcome, TrialOutcome::Loss);
  EXPECT_FALSE(idle.ceiling);  // level 1 leaves no ceiling
}

TEST(SchedulerTrialState, ResetAndCarryKeepOnlyWhatTheyShould) {
  SchedulerTrial t = measured_trial();
  t.ceiling = 4;
  t.retry_not_before_ns = 5;
  const SchedulerTrial carried = carried_scheduler_trial(t);
  EXPECT_EQ(carried.ceiling, 4u);
  EXPECT_FALSE(carried.retry_not_before_ns);
  EXPECT_FALSE(carried.trial_length_ns);
  EXPECT_EQ(carried.level, 1u);
  EXPECT_EQ(carried.outcome, TrialOutcome::Cold);
  reset_scheduler_trial(t);
  EXPECT_FALSE(t.ceiling);
  EXPECT_FALSE(t.trial_length_ns);
  EXPECT_EQ(t.level, 1u);
}

}  // namespace
}  // namespace vel
