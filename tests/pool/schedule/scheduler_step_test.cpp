#include "pool/schedule/scheduler_step.h"

#include <gtest/gtest.h>

#include <vector>
#include "pool/pool_test_units.h"

namespace vel {
namespace {

constexpr uint64_t kStepNow = 100 * kS;

CpuSample cpu_at(double total, std::optional<uint64_t> taken = kStepNow) {
  CpuSample c;
  c.pool_cpu = total / 2;
  c.total_cpu = total;
  c.taken_at_ns = taken;
  return c;
}

SchedulerAssessment verdict(SchedulerOutcome outcome) {
  SchedulerAssessment v;
  v.outcome = outcome;
  v.target = 2;
  return v;
}

SchedulerTrial trying(uint64_t level) {
  SchedulerTrial t;
  t.level = level;
  t.trial_length_ns = 30 * kS;
  t.outcome = TrialOutcome::Started;
  return t;
}

TEST(CpuPressure, NinetyFiveFreshFallsBackToOneEngine) {
  struct Case {
    const char* what;
    CpuSample cpu;
    bool pressure;
  } cases[] = {
      {"95.0 exactly", cpu_at(95.0), true},
      {"just below", cpu_at(94.99), false},
      {"3 s old", cpu_at(99.0, kStepNow - 3 * kS), true},
      {"stale", cpu_at(99.0, kStepNow - 3 * kS - 1), false},
      {"no sample", cpu_at(99.0, std::nullopt), false},
  };
  for (const Case& c : cases) {
    SchedulerTrial t = trying(3);
    t.ceiling = 5;
    EXPECT_EQ(apply_cpu_pressure(t, c.cpu, kStepNow), c.pressure) << c.what;
    if (c.pressure) {
      EXPECT_EQ(t.level, 1u) << c.what;
      EXPECT_EQ(t.ceiling, 3u) << c.what;
      EXPECT_FALSE(trial_running(t)) << c.what;
      EXPECT_EQ(t.outcome, TrialOutcome::Pressure) << c.what;
    } else {
      EXPECT_EQ(t.level, 3u) << c.what;
      EXPECT_TRUE(trial_running(t)) << c.what;
    }
  }
  SchedulerTrial one;  // level 1 sets no ceiling
  ASSERT_TRUE(apply_cpu_pressure(one, cpu_at(100.0), kStepNow));
  EXPECT_FALSE(one.ceiling);
}

TEST(TrialStep, AttemptsOnlyOnAnAdmitBelowNinetyPercentAtMostOnceASecond) {
  struct Case {
    const char* what;
    SchedulerOutcome outcome;
    CpuSample cpu;
    TrialStep step;
  } cases[] = {
      {"calm", SchedulerOutcome::Admit, cpu_at(89.9), TrialStep::Attempt},
      {"90.0 exactly", SchedulerOutcome::Admit, cpu_at(90.0), TrialStep::Idle},
      {"no CPU sample", SchedulerOutcome::Admit, cpu_at(10.0, std::nullopt), TrialStep::Idle},
      {"stale CPU sample", SchedulerOutcome::Admit, cpu_at(10.0, kStepNow - 4 * kS), TrialStep::Idle},
      {"no admit", SchedulerOutcome::Headroom, cpu_at(10.0), TrialStep::Idle},
  };
  for (const Case& c : cases) {
    SchedulerTrial t;
    std::optional<uint64_t> next;
    EXPECT_EQ(scheduler_trial_step(t, next, true, verdict(c.outcome), c.cpu, kStepNow), c.step) << c.what;
    EXPECT_EQ(next.has_value(), c.step == TrialStep::Attempt) << c.what;
  }

  SchedulerTrial t;
  std::optional<uint64_t> next;
  const SchedulerAssessment admit = verdict(SchedulerOutcome::Admit);
  ASSERT_EQ(scheduler_trial_step(t, next, true, admit, cpu_at(10.0), kStepNow), TrialStep::Attempt);
  EXPECT_EQ(scheduler_trial_step(t, next, true, admit, cpu_at(10.0, kStepNow + kS - 1), kStepNow + kS - 1), TrialStep::Idle);
  EXPECT_EQ(scheduler_trial_step(t, next, true, admit, cpu_at(10.0, kStepNow + kS), kStepNow + kS), TrialStep::Attempt);

  SchedulerTrial running = trying(2);
  std::optional<uint64_t> unset;
  EXPECT_EQ(scheduler_trial_step(running, unset, true, admit, cpu_at(10.0), kStepNow), TrialStep::Idle);
}

TEST(TrialStep, ATrialWhereNoneMayRunIsCancelled) {
  SchedulerTrial t = trying(2);
  std::optional<uint64_t> next;
  EXPECT_EQ(scheduler_trial_step(t, next, false, verdict(SchedulerOutcome::Admit), cpu_at(10.0), kStepNow),
            TrialStep::Cancelled);
  EXPECT_EQ(t.level, 1u);
  EXPECT_EQ(t.ceiling, 2u);
  EXPECT_EQ(t.outcome, TrialOutcome::Cancelled);
  EXPECT_EQ(scheduler_trial_step(t, next, false, verdict(SchedulerOutcome::Admit), cpu_at(10.0), kStepNow),
            TrialStep::Idle);
}

TEST(TrialConditions, EveryOneCounts) {
  const TrialConditions ok{true, false, false, false, false, true, true, false};
  EXPECT_TRUE(trial_may_run(ok));
  bool TrialConditions::*flips[] = {&TrialConditions::pool_on,      &TrialConditions::gpu_contended,
                                    &TrialConditions::disabled,     &TrialConditions::holding,
                                    &TrialConditions::retire_armed, &TrialConditions::hold_off_passed,
                                    &TrialConditions::trials_permitted, &TrialConditions::paused};
  for (auto flip : flips) {
    TrialConditions c = ok;
    c.*flip = !(c.*flip);
    EXPECT_FALSE(trial_may_run(c));
  }
}

TEST(CpuHoldOff, ListingAtMostThreeSecondsOldAndDeadlinePassed) {
  CpuSample c;
  EXPECT_FALSE(cpu_hold_off_passed(c, kStepNow));
  c.listing_at_ns = kStepNow - 3 * kS;
  EXPECT_TRUE(cpu_hold_off_passed(c, kStepNow));
  c.hold_until_ns = kStepNow + 1;
  EXPECT_FALSE(cpu_hold_off_passed(c, kStepNow));
  c.hold_until_ns = kStepNow;
  EXPECT_TRUE(cpu_hold_off_passed(c, kStepNow));
  c.listing_at_ns = kStepNow - 3 * kS - 1;
  EXPECT_FALSE(cpu_hold_off_passed(c, kStepNow));
}

TEST(QueueReduction, TargetFollowsTheWorkLeft) {
  struct Case {
    uint64_t level, active, queued, want;
    bool reduced;
  } cases[] = {{3, 1, 1, 2, true}, {3, 2, 1, 3, false}, {2, 0, 0, 1, true}, {1, 1, 0, 1, false}};
  for (const Case& c : cases) {
    SchedulerTrial t = trying(c.level);
    reduce_target_to_queue(t, c.active, c.queued);
    EXPECT_EQ(t.level, c.want);
    EXPECT_EQ(t.outcome == TrialOutcome::QueueReduced, c.reduced);
    EXPECT_EQ(trial_running(t), !c.reduced);
  }
}

// A worker's launch or exit starts the measured part of a running trial: a
// trial whose workers run at equal shares and gain 10 % is then kept; one
// never measured only waits for its end. No trial, nothing to start.
TEST(MeasurementWindow, AWorkerChangeStartsTheTrialsMeasuredPart) {
  struct Case {
    const char* name;
    bool running;
    bool worker_changed;
    TrialOutcome want;
  } cases[] = {
      {"measured from the launch", true, true, TrialOutcome::Confirmed},
      {"never measured", true, false, TrialOutcome::Started},
      {"no trial", false, true, TrialOutcome::Cold},
  };
  for (const Case& c : cases) {
    SchedulerTrial t = c.running ? trying(2) : SchedulerTrial{};
    t.trial_opened_at_ns = kStepNow;
    t.baseline_throughput = 10.0;
    if (c.worker_changed) restart_measurement_window(t, kStepNow + kS);
    EXPECT_EQ(t.trial_started_at_ns.has_value(), c.running && c.worker_changed) << c.name;
    TrialSignal signal;
    signal.throughput = 11.0;
    signal.target = t.level;
    const std::vector<uint32_t> shares{40, 40};
    evaluate_scheduler_trial(t, kStepNow + 3 * kS, signal, shares, 2);
    EXPECT_EQ(t.outcome, c.want) << c.name;
  }
}

TEST(SchedulerRecord, OneLinePerChangedTriple) {
  std::optional<SchedulerLogKey> logged;
  SchedulerTrial t;
  EXPECT_TRUE(scheduler_record_due(logged, t));
  EXPECT_FALSE(scheduler_record_due(logged, t));
  t = trying(2);
  EXPECT_TRUE(scheduler_record_due(logged, t));
  fall_back_to_one_engine(t, TrialOutcome::SpawnFailed);
  EXPECT_TRUE(scheduler_record_due(logged, t));
  EXPECT_EQ(t.ceiling, 2u);
  EXPECT_FALSE(scheduler_record_due(logged, t));
}

TEST(SchedulerReset, StartsOverFromOneEngineAndAFreshHistory) {
  SchedulerTrial t = trying(3);
  t.ceiling = 4;
  std::optional<uint64_t> next = kStepNow;
  SchedulerHistory h;
  h.samples.emplace_back();
  reset_scheduler_state(t, next, h, kStepNow);
  EXPECT_EQ(t.level, 1u);
  EXPECT_FALSE(t.ceiling);
  EXPECT_FALSE(trial_running(t));
  EXPECT_EQ(t.outcome, TrialOutcome::Cold);
  EXPECT_FALSE(next);
  EXPECT_TRUE(h.samples.empty());
  EXPECT_EQ(h.reset_at_ns, kStepNow);
}

}  // namespace
}  // namespace vel
