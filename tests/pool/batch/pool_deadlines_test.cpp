#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/log.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

constexpr Instant kDeadlineT0 = 100 * kNsPerSec;
constexpr Instant sec(uint64_t v) { return v * kNsPerSec; }

PoolRuntime enabled_runtime(bool three_d = false) {
  PoolRuntime rt = new_pool_runtime(kOutputPsd);
  rt.pool_enabled = true;
  rt.comp_is_3d = three_d;
  return rt;
}

TEST(EditStorm, HoldsNewRangesByDimension) {
  struct Case {
    bool three_d;
    uint64_t gap_secs;
    std::optional<uint64_t> held_secs;
  } cases[] = {{false, 3, 5}, {true, 3, 20}, {false, 15, std::nullopt}, {true, 16, std::nullopt}};
  for (const auto& c : cases) {
    PoolRuntime rt = enabled_runtime(c.three_d);
    note_pool_comp_edit(rt, kDeadlineT0);
    note_pool_comp_edit(rt, kDeadlineT0 + sec(c.gap_secs));
    Instant second = kDeadlineT0 + sec(c.gap_secs);
    if (c.held_secs) {
      ASSERT_TRUE(rt.ranges_held_until) << c.three_d << " " << c.gap_secs;
      EXPECT_EQ(*rt.ranges_held_until, second + sec(*c.held_secs));
    } else {
      EXPECT_FALSE(rt.ranges_held_until) << c.three_d << " " << c.gap_secs;
    }
  }
}

TEST(EditStorm, ImmediateLaunchLiftsThePendingDeadline) {
  PoolRuntime rt = enabled_runtime();
  note_pool_comp_edit(rt, kDeadlineT0);
  note_pool_comp_edit(rt, kDeadlineT0 + sec(1));
  EXPECT_FALSE(pool_launch_allowed(rt, kDeadlineT0 + sec(1)));
  allow_immediate_pool_launch(rt, kDeadlineT0 + sec(1));
  EXPECT_TRUE(pool_launch_allowed(rt, kDeadlineT0 + sec(1)));
  EXPECT_FALSE(rt.ranges_held_until);
}

TEST(EditStorm, AnEditThrowsTheSnapshotAwayAndBumpsTheGeneration) {
  testing::ScratchDir dir("vel-edit");
  fs::path copy = dir.path() / "saved-1.aep";
  { std::ofstream(copy) << "x"; }
  PoolRuntime rt = enabled_runtime();
  rt.snapshot_path = copy;
  rt.snapshot_file.emplace(copy, "/p.aep", FileStamp{}, 1.0);
  uint64_t gen = rt.snapshot_generation;
  note_pool_comp_edit(rt, kDeadlineT0);
  EXPECT_FALSE(rt.snapshot_path);
  EXPECT_FALSE(rt.snapshot_file);
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_EQ(rt.snapshot_generation, gen + 1);
  EXPECT_EQ(rt.launch_debounce_from, kDeadlineT0);
}

TEST(HoldRelease, GraceKeepsALaterDeadline) {
  struct Case {
    std::optional<uint64_t> existing_secs;
    uint64_t expected_secs;
  } cases[] = {{std::nullopt, 5}, {8, 8}, {2, 5}};
  for (const auto& c : cases) {
    PoolRuntime rt = enabled_runtime();
    set_pool_ranges_held(rt, true, kDeadlineT0);
    note_pool_comp_edit(rt, kDeadlineT0);  // an edit during the hold arms the grace
    rt.ranges_held_until.reset();
    if (c.existing_secs) rt.ranges_held_until = kDeadlineT0 + sec(*c.existing_secs);
    set_pool_ranges_held(rt, false, kDeadlineT0);
    ASSERT_TRUE(rt.ranges_held_until);
    EXPECT_EQ(*rt.ranges_held_until, kDeadlineT0 + sec(c.expected_secs));
    EXPECT_FALSE(rt.hold_grace_armed);
    EXPECT_TRUE(pool_ranges_held(rt, kDeadlineT0 + sec(c.expected_secs) - 1));
    EXPECT_FALSE(pool_ranges_held(rt, kDeadlineT0 + sec(c.expected_secs)));
  }
}

TEST(WitnessHandoff, GraceFromThePerFrameTime) {
  struct Case {
    std::optional<double> per_frame_ms;
    uint64_t grace_ms;
  } cases[] = {{std::nullopt, 1000},
               {50.0, 250},
               {1500.0, 2000},
               {400.0, 800},
               {std::numeric_limits<double>::quiet_NaN(), 1000},
               {-3.0, 1000}};
  for (const auto& c : cases) {
    PoolRuntime rt = enabled_runtime();
    if (c.per_frame_ms) {
      rt.delivery_descriptor.emplace();
      rt.delivery_descriptor->per_frame_ms = *c.per_frame_ms;
    }
    request_witness_handoff(rt, true, kDeadlineT0);
    ASSERT_TRUE(rt.handoff_deadline);
    EXPECT_EQ(*rt.handoff_deadline, kDeadlineT0 + c.grace_ms * kNsPerMs);
    request_witness_handoff(rt, true, kDeadlineT0 + sec(1));  // pending: unchanged
    EXPECT_EQ(*rt.handoff_deadline, kDeadlineT0 + c.grace_ms * kNsPerMs);
    request_witness_handoff(rt, false, kDeadlineT0);
    EXPECT_FALSE(rt.handoff_deadline);
  }
}

TEST(RampWindow, ClosesAtThreeSecondsAndOnOverflow) {
  PoolRuntime rt = enabled_runtime();
  rt.ramp_open = true;
  rt.ramp_increment_ns = sec(2);
  advance_pool_ramp_window(rt, true);
  EXPECT_TRUE(rt.ramp_open);
  EXPECT_TRUE(rt.ramp_active);
  EXPECT_EQ(rt.ramp_increment_ns, 0u);
  rt.ramp_increment_ns = sec(1);
  advance_pool_ramp_window(rt, true);
  EXPECT_FALSE(rt.ramp_open);
  EXPECT_FALSE(rt.ramp_active);

  PoolRuntime big = enabled_runtime();
  big.ramp_open = true;
  big.ramp_window_ns = std::numeric_limits<uint64_t>::max() - 5;
  big.ramp_increment_ns = 10;
  advance_pool_ramp_window(big, true);
  EXPECT_EQ(big.ramp_window_ns, std::numeric_limits<uint64_t>::max());
  EXPECT_FALSE(big.ramp_open);
}

TEST(GpuContention, FromFourSecondsOnAndOnce) {
  struct Case {
    double ms;
    bool three_d;
    bool contended;
  } cases[] = {{3999.0, true, false}, {4000.0, true, true}, {9000.0, false, false},
               {std::numeric_limits<double>::quiet_NaN(), true, false}};
  for (const auto& c : cases) {
    PoolRuntime rt = enabled_runtime(c.three_d);
    rt.plan.emplace();
    note_gpu_contention(rt, "grab", c.ms);
    EXPECT_EQ(rt.gpu_contended, c.contended) << c.ms;
    EXPECT_EQ(rt.plan.has_value(), !c.contended) << c.ms;
  }
  PoolRuntime idle = enabled_runtime(true);
  note_gpu_contention(idle, "rendu async", 5000.0);
  EXPECT_FALSE(idle.gpu_contended);  // no batch and no warm engine

  PoolRuntime once = enabled_runtime(true);
  once.plan.emplace();
  note_gpu_contention(once, "grab", 5000.0);
  once.plan.emplace();
  note_gpu_contention(once, "grab", 5000.0);
  EXPECT_TRUE(once.plan.has_value());  // the second report changes nothing
  stop_pool(once, kDeadlineT0);
  EXPECT_FALSE(once.gpu_contended);
}

TEST(HidePanel, DropsQueuedFramesSaturating) {
  struct Case {
    uint64_t expected;
    uint64_t left;
  } cases[] = {{40, 24}, {10, 0}};
  for (const auto& c : cases) {
    PoolRuntime rt = enabled_runtime();
    rt.plan.emplace();
    rt.plan->expected_frames = c.expected;
    rt.plan->queued_ranges = {{0, 9}, {20, 20}, {30, 34}};  // 10 + 1 + 5
    drop_queued_ranges_on_hide(rt);
    EXPECT_TRUE(rt.plan->queued_ranges.empty());
    EXPECT_EQ(rt.plan->expected_frames, c.left);
  }
}

TEST(TakePoolPlan, CarriesTheCeilingOfTheSameContext) {
  PoolRuntime rt = enabled_runtime();
  StartupContext ctx{9, 2, FrameDimensions{640, 360}, false, kOutputTga};
  rt.batch_identity = ctx;
  rt.plan.emplace();
  rt.plan->context = ctx;
  rt.plan->ledger.delivered = 3;
  rt.plan->scheduler.ceiling = 12;
  rt.plan->scheduler.retry_not_before_ns = kDeadlineT0;
  rt.plan->scheduler.trial_length_ns = 4;
  rt.plan->scheduler.level = 3;
  rt.plan->scheduler.outcome = TrialOutcome::Loss;
  rt.plan->scheduler.next_trial_at_ns = kDeadlineT0;
  rt.plan->scheduler.logged = SchedulerLogged{3, true, TrialOutcome::Loss};
  auto taken = take_pool_plan(rt, kDeadlineT0);
  ASSERT_TRUE(taken);
  EXPECT_FALSE(rt.plan);
  EXPECT_EQ(rt.carried_scheduler.ceiling, 12u);
  EXPECT_FALSE(rt.carried_scheduler.retry_not_before_ns);
  EXPECT_FALSE(rt.carried_scheduler.trial_length_ns);
  EXPECT_FALSE(rt.carried_scheduler.next_trial_at_ns);
  EXPECT_FALSE(rt.carried_scheduler.logged);
  EXPECT_EQ(rt.carried_scheduler.level, 1u);
  EXPECT_EQ(rt.carried_scheduler.outcome, TrialOutcome::Cold);
  EXPECT_FALSE(take_pool_plan(rt, kDeadlineT0));
}

TEST(TakePoolPlan, ABatchWithoutAnyFrameLogsItsFirstDelivery) {
  testing::ScratchDir dir("vel-take");
  ASSERT_TRUE(open_log_file_at(dir.path() / "velocinta.log", LogRole::Host));
  PoolRuntime rt = enabled_runtime();
  rt.plan.emplace();
  rt.plan->started_at = kDeadlineT0;
  rt.plan->context = StartupContext{4, 1, std::nullopt, true, kOutputPsd};
  (void)take_pool_plan(rt, kDeadlineT0 + 1'234'560'000);
  ASSERT_EQ(rt.first_delivery_history.size(), 1u);
  EXPECT_NEAR(rt.first_delivery_history[0].pending_lower_bound_ms.value_or(0.0), 1234.56, 1e-6);
  close_log_file();
  std::string log = testing::read_text(dir.path() / "velocinta.log");
  EXPECT_NE(log.find("PERF: POOL_FIRST_DELIVERY completed=false elapsed_ms=1234.6 context=StartupContext { "
                     "output_format: 0, dimensions: None, file_ds: 1, comp_3d: true, identity: 4 }"),
            std::string::npos)
      << log;
}

TEST(StopPool, LeavesNothingBehind) {
  testing::ScratchDir dir("vel-stop");
  fs::path copy = dir.path() / "saved-2.aep";
  { std::ofstream(copy) << "x"; }
  PoolRuntime rt = enabled_runtime();
  auto flags = std::make_shared<ReaderFlags>();
  rt.plan.emplace();
  rt.plan->jobs.push_back(PoolJob{});
  rt.plan->jobs.back().reader_flags = flags;
  rt.snapshot_path = copy;
  rt.snapshot_file.emplace(copy, "/p.aep", FileStamp{}, 1.0);
  rt.save_required = true;
  rt.gpu_contended = true;
  rt.handoff_deadline = kDeadlineT0;
  rt.ramp_open = true;
  rt.launch_debounce_from = kDeadlineT0;
  uint64_t gen = rt.snapshot_generation;
  stop_pool(rt, kDeadlineT0);
  EXPECT_FALSE(rt.plan);
  EXPECT_TRUE((*flags)[0].load());
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_FALSE(rt.snapshot_path);
  EXPECT_FALSE(rt.save_required || rt.gpu_contended || rt.ramp_open);
  EXPECT_FALSE(rt.handoff_deadline || rt.launch_debounce_from);
  EXPECT_EQ(rt.snapshot_generation, gen + 1);
}

TEST(DisablePool, LogsOnce) {
  testing::ScratchDir dir("vel-disable");
  ASSERT_TRUE(open_log_file_at(dir.path() / "velocinta.log", LogRole::Host));
  PoolRuntime rt = enabled_runtime();
  disable_pool_for_session(rt, "aerender introuvable");
  disable_pool_for_session(rt, "encore");
  close_log_file();
  std::string log = testing::read_text(dir.path() / "velocinta.log");
  EXPECT_NE(log.find("ERROR: pool: DÉSACTIVÉ pour la session — aerender introuvable"), std::string::npos);
  EXPECT_EQ(log.find("encore"), std::string::npos);
}

}  // namespace
}  // namespace vel
