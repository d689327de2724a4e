#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "pool/runtime/pool_runtime_ops.h"
#include "pool/pool_test_units.h"

namespace vel {
namespace {

constexpr Instant kGateT0 = 100 * kNsPerSec;

// A runtime one quiet period away from its snapshot and its launch.
PoolRuntime ready_runtime() {
  PoolRuntime rt = new_pool_runtime(kOutputPsd);
  rt.pool_enabled = true;
  rt.templates_ready = 1;
  rt.launch_debounce_from = kGateT0;
  return rt;
}

struct GateCase {
  const char* name;
  std::function<void(PoolRuntime&)> arrange;
  Instant at;
  bool allowed;
};

TEST(PoolLaunchAllowed, EachConditionInOrder) {
  const GateCase cases[] = {
      {"1999 ms after the edit", [](PoolRuntime&) {}, kGateT0 + ms(1999), false},
      {"1999.9 ms counts whole ms", [](PoolRuntime&) {}, kGateT0 + ms(1999) + 900'000, false},
      {"2000 ms after the edit", [](PoolRuntime&) {}, kGateT0 + ms(2000), true},
      {"no edit yet", [](PoolRuntime& r) { r.launch_debounce_from.reset(); }, kGateT0, true},
      {"pool off", [](PoolRuntime& r) { r.pool_enabled = false; }, kGateT0 + ms(5000), false},
      {"disabled", [](PoolRuntime& r) { r.disabled_for_session = true; }, kGateT0 + ms(5000), false},
      {"gpu contended", [](PoolRuntime& r) { r.gpu_contended = true; }, kGateT0 + ms(5000), false},
      {"preparation", [](PoolRuntime& r) { r.preparation_hold = true; }, kGateT0 + ms(5000), false},
      {"handoff pending", [](PoolRuntime& r) { r.handoff_deadline = kGateT0; }, kGateT0 + ms(5000), false},
      {"cooldown running", [](PoolRuntime& r) { r.launch_cooldown_until = kGateT0 + ms(6000); }, kGateT0 + ms(5000), false},
      {"cooldown over", [](PoolRuntime& r) { r.launch_cooldown_until = kGateT0 + ms(5000); }, kGateT0 + ms(5000), true},
      {"snapshot held", [](PoolRuntime& r) { r.snapshot_path = "/x/snapshot.aep"; }, kGateT0 + ms(5000), false},
      {"ranges held", [](PoolRuntime& r) { r.ranges_held = true; }, kGateT0 + ms(5000), false},
      {"held until later", [](PoolRuntime& r) { r.ranges_held_until = kGateT0 + ms(5001); }, kGateT0 + ms(5000), false},
      {"held until passed", [](PoolRuntime& r) { r.ranges_held_until = kGateT0 + ms(5000); }, kGateT0 + ms(5000), true},
  };
  for (const auto& c : cases) {
    PoolRuntime rt = ready_runtime();
    c.arrange(rt);
    EXPECT_EQ(pool_launch_allowed(rt, c.at), c.allowed) << c.name;
  }
}

TEST(PoolNextBatchReady, EachConditionInOrder) {
  auto with_snapshot = [] {
    PoolRuntime rt = ready_runtime();
    rt.snapshot_path = "/x/snapshot.aep";
    return rt;
  };
  struct Case {
    const char* name;
    std::function<void(PoolRuntime&, GateWorld&)> arrange;
    bool ready;
    // Whether the pool still takes the work area from the preview: the
    // running batch, the chaining delay and the memory output of the last
    // batch only defer the next one.
    bool engaged;
  };
  const Case cases[] = {
      {"ready", [](PoolRuntime&, GateWorld&) {}, true, true},
      {"templates not ready", [](PoolRuntime& r, GateWorld&) { r.templates_ready = 0; }, false, false},
      {"templates suspended", [](PoolRuntime& r, GateWorld&) { r.templates_ready = 2; }, false, false},
      {"no snapshot", [](PoolRuntime& r, GateWorld&) { r.snapshot_path.reset(); }, false, false},
      {"plan running", [](PoolRuntime& r, GateWorld&) { r.plan.emplace(); }, false, true},
      {"ranges held", [](PoolRuntime& r, GateWorld&) { r.ranges_held = true; }, false, false},
      {"handoff", [](PoolRuntime& r, GateWorld&) { r.handoff_deadline = kGateT0; }, false, false},
      {"3D with an async render in flight",
       [](PoolRuntime& r, GateWorld& w) {
         r.comp_is_3d = true;
         w.async_renders_in_flight = 1;
       },
       false, false},
      {"2D with an async render in flight", [](PoolRuntime&, GateWorld& w) { w.async_renders_in_flight = 1; }, true, true},
      {"memory output, token held",
       [](PoolRuntime& r, GateWorld& w) {
         r.selected_output = kOutputMemory;
         w.memory_token = 1;
       },
       false, true},
      {"file output, token held", [](PoolRuntime&, GateWorld& w) { w.memory_token = 1; }, true, true},
      {"cooldown running", [](PoolRuntime& r, GateWorld& w) { r.launch_cooldown_until = w.now + 1; }, false, true},
      {"cooldown reached", [](PoolRuntime& r, GateWorld& w) { r.launch_cooldown_until = w.now; }, true, true},
  };
  for (const auto& c : cases) {
    PoolRuntime rt = with_snapshot();
    GateWorld world{kGateT0 + ms(5000), 0, 0};
    c.arrange(rt, world);
    EXPECT_EQ(pool_next_batch_ready(rt, world), c.ready) << c.name;
    EXPECT_EQ(pool_engaged(rt, world), c.engaged) << c.name;
  }
}

TEST(PoolPeriodicCheck, AtMostEvery30sAndNeverWhileReady) {
  PoolRuntime rt = ready_runtime();
  rt.templates_ready = 0;
  EXPECT_TRUE(pool_periodic_check_due(rt, kGateT0));
  EXPECT_FALSE(pool_periodic_check_due(rt, kGateT0 + 29'999 * kNsPerMs));
  EXPECT_TRUE(pool_periodic_check_due(rt, kGateT0 + 30 * kNsPerSec));
  rt.templates_ready = 1;
  EXPECT_FALSE(pool_periodic_check_due(rt, kGateT0 + 90 * kNsPerSec));
}

TEST(PoolEffectiveWorkerCount, RamBoundAndMeasuredAdmission) {
  constexpr uint64_t GiB = 1ull << 30;
  PoolRuntime rt = ready_runtime();
  WorkerCountInputs in{12, 64 * GiB, 100, false};
  EXPECT_EQ(pool_effective_worker_count(rt, in), 7u);  // 38.4 GiB usable / 5 GiB
  in.worker_count = 4;
  EXPECT_EQ(pool_effective_worker_count(rt, in), 4u);
  in.pressure_percent = 50;
  EXPECT_EQ(pool_effective_worker_count(rt, in), 2u);
  in.pressure_percent = 75;
  in.worker_count = 3;
  EXPECT_EQ(pool_effective_worker_count(rt, in), 3u);  // ceil(2.25)
  in.measured_admission = true;
  EXPECT_EQ(pool_effective_worker_count(rt, in), 1u);
  in.measured_admission = false;
  in.physical_memory.reset();
  EXPECT_EQ(pool_effective_worker_count(rt, in), 1u);
  in.physical_memory = 64 * GiB;
  in.pressure_percent = 100;
  rt.comp_is_3d = true;
  EXPECT_EQ(pool_effective_worker_count(rt, in), 1u);
  rt.comp_is_3d = false;
  rt.selected_output = kOutputMemory;
  EXPECT_EQ(pool_effective_worker_count(rt, in), 1u);
}

TEST(PoolPlanMatch, EveryFieldMustAgree) {
  PoolRuntime rt = ready_runtime();
  EXPECT_FALSE(pool_plan_match(rt, 1, 10));
  rt.comp_identity = 7;
  rt.file_downsample = 2;
  rt.comp_dimensions = std::make_pair(1920u, 1080u);
  DeliveryDescriptor d;
  d.comp_identity = 7;
  d.file_downsample = 2;
  d.downsample = 2;
  d.effective_step = 4;
  d.span = 10;
  d.dimensions = rt.comp_dimensions;
  d.per_frame_ms = 12.5;
  rt.delivery_descriptor = d;
  auto m = pool_plan_match(rt, 4, 10);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->per_frame_ms, 12.5);
  EXPECT_EQ(m->effective_step, 4u);
  EXPECT_FALSE(pool_plan_match(rt, 4, 11));
  EXPECT_FALSE(pool_plan_match(rt, 1, 10));  // effective step would be 2
  rt.comp_dimensions.reset();
  EXPECT_FALSE(pool_plan_match(rt, 4, 10));
}

}  // namespace
}  // namespace vel
