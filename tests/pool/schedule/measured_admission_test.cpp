#include "pool/schedule/measured_admission.h"

#include <gtest/gtest.h>

#include "pool/schedule/scheduler_step.h"
#include "pool/pool_test_units.h"

namespace vel {
namespace {


// One engine of 1 GiB sampled at 0, 2.5 and 5 s with 10 frames delivered:
// an Admit for two engines while the machine has `available` bytes.
SchedulerHistory one_engine_history(uint64_t available) {
  SchedulerHistory h;
  const uint64_t ends[] = {0, 2 * kS + kS / 2, 5 * kS};
  const uint64_t frames[] = {0, 5, 10};
  for (int i = 0; i < 3; ++i) {
    EngineMemorySample s;
    s.engine_bytes = {kGiB};
    s.collection_start_ns = ends[i] + kS - kS / 10;
    s.collection_end_ns = ends[i] + kS;
    s.frame_instant_ns = ends[i] + kS;
    s.available_bytes = available;
    s.frames = frames[i];
    s.job_load = 80;
    EXPECT_TRUE(record_engine_sample(h, s));
  }
  return h;
}
constexpr uint64_t kAdmissionNow = 6 * kS;  // one second after the newest sample

SchedulerAssessment admit(uint64_t target, uint64_t sampled_at = kAdmissionNow) {
  SchedulerAssessment v;
  v.outcome = SchedulerOutcome::Admit;
  v.target = target;
  v.newest_collection_end_ns = sampled_at;
  v.engine_need_bytes = 2 * kGiB;
  v.growth_reserve_bytes = kGiB / 2;
  return v;
}
// 4 GiB + growth + 2 × next engine for admit().
constexpr uint64_t kGateNeed = 4 * kGiB + kGiB / 2 + 4 * kGiB;

AvailableMemoryProbe reads(std::optional<uint64_t> available, int* calls = nullptr) {
  return [=] {
    if (calls) ++*calls;
    return available;
  };
}

TEST(SampleFreshness, ThreeSecondsExactlyStillCounts) {
  struct Case {
    std::optional<uint64_t> taken;
    uint64_t now;
    bool fresh;
  } cases[] = {
      {10 * kS, 13 * kS, true},
      {10 * kS, 13 * kS + 1, false},
      {10 * kS, 10 * kS, true},
      {10 * kS, 9 * kS, true},  // stamped after now: just taken
      {std::nullopt, 13 * kS, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sample_fresh(c.taken, c.now), c.fresh) << c.now;
    CpuSample cpu;
    cpu.taken_at_ns = c.taken;
    EXPECT_EQ(cpu_sample_fresh(cpu, c.now), c.fresh) << c.now;
  }
}

TEST(WorkersPerBatch, CapsAndFallbacks) {
  struct Case {
    WorkersPerBatchInputs in;
    uint64_t want;
  } cases[] = {
      {{true, 0, false, 16, 8, 1}, 8},   // configured
      {{true, 1, false, 4, 8, 1}, 3},    // 80 % of 4 threads
      {{true, 0, true, 16, 8, 1}, 1},    // 3D
      {{true, 0, false, std::nullopt, 8, 1}, 1},
      {{true, 0, false, 64, 40, 1}, 24},
      {{true, 0, false, 64, 0, 1}, 1},
      {{true, 2, false, 64, 8, 5}, 1},   // memory
      {{false, 0, false, 64, 8, 5}, 5},  // admission off: the effective count
      {{false, 0, false, 64, 8, 0}, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(workers_per_batch(c.in), c.want) << c.want;
  EXPECT_TRUE(scheduler_adaptive(true, true, 1));
  EXPECT_FALSE(scheduler_adaptive(true, true, 2));
  EXPECT_FALSE(scheduler_adaptive(false, true, 0));
  EXPECT_FALSE(scheduler_adaptive(true, false, 0));
}

TEST(AssessAdmission, AnAdmitIsJudgedAgainAgainstTheMemoryLeftNow) {
  int calls = 0;
  SchedulerHistory roomy = one_engine_history(16 * kGiB);
  SchedulerAssessment v = assess_admission(roomy, kAdmissionNow, 1, 2, reads(16 * kGiB, &calls));
  EXPECT_EQ(v.outcome, SchedulerOutcome::Admit);
  EXPECT_EQ(v.target, 2u);
  EXPECT_EQ(calls, 1);

  // Memory vanished since the last sample: the fresh reading wins.
  SchedulerHistory h = one_engine_history(16 * kGiB);
  v = assess_admission(h, kAdmissionNow, 1, 2, reads(5 * kGiB));
  EXPECT_EQ(v.outcome, SchedulerOutcome::Headroom);
  EXPECT_EQ(h.samples.back().available_bytes, 5 * kGiB);

  // A failed reading changes nothing; a larger one is not believed over the sample.
  SchedulerHistory kept = one_engine_history(16 * kGiB);
  EXPECT_EQ(assess_admission(kept, kAdmissionNow, 1, 2, reads(std::nullopt)).outcome, SchedulerOutcome::Admit);
  EXPECT_EQ(assess_admission(kept, kAdmissionNow, 1, 2, reads(64 * kGiB)).available_bytes, 16 * kGiB);

  // No Admit: the machine is not asked.
  calls = 0;
  SchedulerHistory stale = one_engine_history(16 * kGiB);
  EXPECT_EQ(assess_admission(stale, kAdmissionNow + 4 * kS, 1, 2, reads(16 * kGiB, &calls)).outcome,
            SchedulerOutcome::Stale);
  EXPECT_EQ(calls, 0);
}

TEST(AdmissionRecord, OneLinePerChangeOfReasonOrTarget) {
  std::optional<AdmissionLogKey> last;
  SchedulerAssessment v = admit(2);
  struct Step {
    SchedulerOutcome outcome;
    uint64_t target;
    bool written;
  } steps[] = {
      {SchedulerOutcome::Observing, 1, true},  // the first of a run
      {SchedulerOutcome::Observing, 1, false},
      {SchedulerOutcome::Observing, 2, true},  // target alone
      {SchedulerOutcome::Admit, 2, true},
      {SchedulerOutcome::Admit, 2, false},
      {SchedulerOutcome::Observing, 1, true},
  };
  for (const Step& s : steps) {
    v.outcome = s.outcome;
    v.target = s.target;
    v.available_bytes += 1;  // other figures do not count
    EXPECT_EQ(admission_record_due(last, v), s.written) << scheduler_outcome_name(s.outcome) << s.target;
  }
}

TEST(LaunchGate, OnlyAnAdmitForTwoWithRoomStartsASecondEngine) {
  struct Case {
    const char* what;
    SchedulerAssessment verdict;
    std::optional<uint64_t> available;
    uint64_t shares;
  } cases[] = {
      {"equality admits", admit(2), kGateNeed, 3},
      {"one byte short", admit(2), kGateNeed - 1, 1},
      {"admit for three", admit(3), 64 * kGiB, 1},
      {"sample 3 s old", admit(2, kAdmissionNow - 3 * kS), 64 * kGiB, 3},
      {"sample older", admit(2, kAdmissionNow - 3 * kS - 1), 64 * kGiB, 1},
      {"no fresh reading", admit(2), std::nullopt, 1},
  };
  for (const Case& c : cases) {
    std::optional<AdmissionGrant> grant = AdmissionGrant{1, 1, 1};
    EXPECT_EQ(gate_launch_shares(3, c.verdict, kAdmissionNow, reads(c.available), grant), c.shares) << c.what;
    EXPECT_EQ(grant.has_value(), c.shares > 1) << c.what;
    if (grant) {
      EXPECT_EQ(*grant, (AdmissionGrant{2 * kGiB, kGiB / 2, *c.verdict.newest_collection_end_ns + 3 * kS})) << c.what;
    }
  }
  SchedulerAssessment refused = admit(2);
  refused.outcome = SchedulerOutcome::Headroom;
  std::optional<AdmissionGrant> none;
  EXPECT_EQ(gate_launch_shares(2, refused, kAdmissionNow, reads(64 * kGiB), none), 1u);

  // One share asks nothing and keeps the grant.
  int calls = 0;
  std::optional<AdmissionGrant> kept = AdmissionGrant{1, 1, 1};
  EXPECT_EQ(gate_launch_shares(1, admit(2), kAdmissionNow, reads(64 * kGiB, &calls), kept), 1u);
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(kept);
}

TEST(GrantRecheck, HoldsWhileTheFirstEngineStaysWithinItsPromise) {
  const AdmissionGrant g{2 * kGiB, kGiB / 2, 10 * kS};
  // (next − committed) + next + growth + 4 GiB with 1 GiB committed.
  const uint64_t need = kGiB + 2 * kGiB + kGiB / 2 + 4 * kGiB;
  struct Case {
    const char* what;
    uint64_t now;
    uint64_t committed;
    std::optional<uint64_t> available;
    bool holds;
  } cases[] = {
      {"room exactly", 9 * kS, kGiB, need, true},
      {"one byte short", 9 * kS, kGiB, need - 1, false},
      {"at the deadline", 10 * kS, kGiB, need, true},
      {"past the deadline", 10 * kS + 1, kGiB, 64 * kGiB, false},
      {"engine took more than promised", 9 * kS, 2 * kGiB + 1, 64 * kGiB, false},
      {"no reading", 9 * kS, kGiB, std::nullopt, false},
  };
  for (const Case& c : cases) {
    std::optional<AdmissionGrant> grant = g;
    EXPECT_EQ(recheck_admission_grant(grant, c.now, c.committed, reads(c.available)), c.holds) << c.what;
    EXPECT_EQ(grant.has_value(), c.holds) << c.what;
  }
  std::optional<AdmissionGrant> none;
  EXPECT_FALSE(recheck_admission_grant(none, 0, 0, reads(64 * kGiB)));
}

}  // namespace
}  // namespace vel
