// The render pool as the preview and the panel reach it: the render times
// and claims the preview hooks report, and the facts the pool follows each
// tick (output downsample, the pooled composition, witness claims, a hidden
// panel, the play button).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "cache/frame_cache_ops.h"
#include "core/machine.h"
#include "core/switches.h"
#include "plugin/pool_preview_link.h"
#include "plugin/pool_pump.h"
#include "plugin/preview_state.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "preview/downsample_policy.h"
#include "raster/comp_model.h"

namespace vel {
namespace {

constexpr uint64_t kS = kNsPerSec;
constexpr uint64_t kT0 = 1000 * kS;

struct StateDeleter {
  void operator()(PreviewState* s) const { delete s; }
};

class PoolPreviewLink : public ::testing::Test {
 protected:
  void SetUp() override {
    state.reset(new_preview_state(1, PersistedOptions{}));
    state->pool.pool_enabled = true;
  }
  PoolRuntime& pool() { return state->pool; }
  // A running plan whose jobs have no process behind them.
  PoolPlan& running_plan() {
    pool().plan.emplace();
    pool().plan->started_at = mono_ns();
    pool().plan->first_delivery_limit_secs = 45;
    return *pool().plan;
  }

  std::unique_ptr<PreviewState, StateDeleter> state;
};

TEST(PoolFileDownsample, FollowsThePreviewUpToAQuarter) {
  const struct {
    uint32_t preview;
    uint64_t file;
  } cases[] = {{0, 1}, {1, 1}, {2, 2}, {3, 2}, {4, 4}, {8, 4}, {16, 4}};
  for (const auto& c : cases) EXPECT_EQ(pool_file_downsample(c.preview), c.file) << c.preview;
}

TEST_F(PoolPreviewLink, AChangedOutputDownsampleForgetsThePlanIdentity) {
  const StartupContext identity{7, 1, std::nullopt, false, kOutputPsd};
  state->preview.downsample = {1, 1};
  refresh_resource_plan(*state);
  pool().batch_identity = identity;
  refresh_resource_plan(*state);
  EXPECT_EQ(pool().batch_identity, identity) << "no change, nothing forgotten";

  state->preview.downsample = {8, 1};
  refresh_resource_plan(*state);
  EXPECT_EQ(pool().file_downsample, 4u);
  EXPECT_FALSE(pool().batch_identity);
}

TEST_F(PoolPreviewLink, ThePooledCompositionFollowsThePreview) {
  PreviewController& ctl = state->preview;
  ctl.pinned_item = 42;
  ctl.comp_size = {1920, 1080};
  pool().delivery_descriptor = DeliveryDescriptor{};
  follow_pooled_comp(*state);
  EXPECT_EQ(pool().comp_identity, 42u);
  EXPECT_EQ(pool().comp_dimensions, (std::pair<uint32_t, uint32_t>{1920, 1080}));
  EXPECT_TRUE(pool().delivery_descriptor) << "the 3D flag did not change";

  // Turning 3D forgets the measured delivery; contention outlives it until
  // the composition is 2D again.
  ctl.comp_is_3d = true;
  pool().gpu_contended = true;
  follow_pooled_comp(*state);
  EXPECT_TRUE(pool().comp_is_3d);
  EXPECT_FALSE(pool().delivery_descriptor);
  EXPECT_TRUE(pool().gpu_contended);
  ctl.comp_is_3d = false;
  follow_pooled_comp(*state);
  EXPECT_FALSE(pool().gpu_contended);

  ctl.pinned_item.reset();
  ctl.comp_size = {};
  follow_pooled_comp(*state);
  EXPECT_EQ(pool().comp_identity, 0u);
  EXPECT_FALSE(pool().comp_dimensions);
}

// The preview's render times reach the pool's contention rule through the
// hook the state installs: "grab" from a synchronous render.
TEST_F(PoolPreviewLink, ALongGrabOfA3dCompositionStopsTheRunningBatch) {
  const struct {
    bool three_d;
    double ms;
    bool contended;
  } cases[] = {
      {true, 3999.0, false},
      {true, 4000.0, true},
      {false, 9000.0, false},
      {true, std::numeric_limits<double>::quiet_NaN(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ms);
    pool().gpu_contended = false;
    pool().comp_is_3d = c.three_d;
    running_plan();
    record_inprocess_render_time(state->preview, 1, c.ms);
    EXPECT_EQ(pool().gpu_contended, c.contended);
    EXPECT_EQ(pool().plan.has_value(), !c.contended);
  }
}

// An in-process frame over 300 ms marks the frames heavy, and the next
// lighter one clears it: the edit pause warms no engine meanwhile.
TEST_F(PoolPreviewLink, TheLastMeasuredFrameTimeMarksHeavyFrames) {
  const struct {
    double ms;
    bool heavy;
  } steps[] = {{120.0, false}, {300.0, false}, {300.5, true}, {std::numeric_limits<double>::quiet_NaN(), true},
               {80.0, false}};
  for (const auto& step : steps) {
    record_inprocess_render_time(state->preview, 2, step.ms);
    EXPECT_EQ(pool().heavy_frames, step.heavy) << step.ms;
  }
}

TEST_F(PoolPreviewLink, TheAsynchronousRendererAsksWhatThePoolStillClaims) {
  PoolPlan& plan = running_plan();
  PoolJob job;
  job.launched_ns = plan.started_at;
  job.first_frame = 10;
  job.last_frame = 20;
  plan.jobs.push_back(std::move(job));
  plan.queued_ranges.push_back({30, 40, false});
  ASSERT_TRUE(state->preview.pool_link.claimed_ranges);
  const std::vector<PoolFrameRange> claims = state->preview.pool_link.claimed_ranges(2);
  EXPECT_EQ(claims, (std::vector<PoolFrameRange>{{10, 20}, {30, 40}}));
  for (int64_t f : {10, 20, 30, 40}) EXPECT_TRUE(frame_in_ranges(claims, f)) << f;
  for (int64_t f : {9, 21, 29, 41}) EXPECT_FALSE(frame_in_ranges(claims, f)) << f;

  // Once the in-process renderer is measured to beat a job that showed
  // nothing, the claim on that job is given up.
  LevelRenderTimes& times = state->preview.level_times;
  for (int i = 0; i < 3; ++i) fold_sample(times.async_ms[1], 10.0);
  times.arrivals[1] = {0.0, 10.0, 20.0};
  EXPECT_EQ(state->preview.pool_link.claimed_ranges(2), (std::vector<PoolFrameRange>{{30, 40}}));
  EXPECT_TRUE(pool().plan->jobs[0].released);
}

// The preview rendered a frame itself while the pool still held it (the
// playhead's, or one the pool gave up): the pool's copy, wider or not,
// replaces nothing and leaves the cache's accounting and its store queue as
// they were. A frame the cache holds narrower than the preview wants is
// still taken.
TEST_F(PoolPreviewLink, APoolFrameTheCacheAlreadyServesIsDropped) {
  PreviewController& ctl = state->preview;
  ctl.comp_size = {64, 36};
  pool().comp_identity = 7;
  const uint32_t wanted = downsampled_size(64, effective_downsample(ctl));
  auto frame = [](uint32_t w, uint8_t fill) {
    RgbaFrame f;
    f.width = w;
    f.height = w * 36 / 64;
    f.pixels = PixelPayload::adopt(std::vector<uint8_t>(size_t{f.width} * f.height * 4, fill));
    return f;
  };
  auto pool_frame = [&](FrameKey key, uint32_t w, uint8_t fill) {
    std::vector<IngestedFrame> out;
    out.push_back({key, frame(w, fill), 7});
    return out;
  };
  const FrameKey ours{5, 24};
  ASSERT_TRUE(cache_rendered_frame(state->cache, ours, frame(wanted, 0x11)));
  const uint64_t used = state->cache.used_bytes, inserts = state->cache.insert_count;
  const size_t queued = state->cache.store_write_queue.size();
  for (uint32_t w : {wanted, wanted * 2}) {
    ingest_pool_frames(*state, pool_frame(ours, w, 0x77));
    auto kept = cached_frame(state->cache, ours);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->width, wanted) << w;
    EXPECT_EQ(kept->pixels.bytes()[0], 0x11) << w;
  }
  EXPECT_EQ(state->cache.used_bytes, used);
  EXPECT_EQ(state->cache.insert_count, inserts);
  EXPECT_EQ(state->cache.store_write_queue.size(), queued);

  const FrameKey narrow{6, 24};
  ASSERT_TRUE(cache_rendered_frame(state->cache, narrow, frame(wanted / 2, 0x11)));
  ingest_pool_frames(*state, pool_frame(narrow, wanted, 0x77));
  EXPECT_EQ(cached_frame_width(state->cache, narrow), wanted);
}

// While its batch has given up (nothing before the first-delivery limit)
// the pool takes no frame: its next batch waits for the silent one's end.
TEST_F(PoolPreviewLink, ASilentBatchPastItsFirstDeliveryLimitTakesNoFrame) {
  pool().templates_ready = 1;
  pool().snapshot_path = std::filesystem::path("/nonexistent/snapshot.aep");
  const uint64_t now = mono_ns();
  EXPECT_TRUE(pool_takes_frames(*state, now)) << "engaged, no batch";
  PoolPlan& plan = running_plan();
  plan.started_at = now;
  EXPECT_TRUE(pool_takes_frames(*state, now + 44 * kS));
  EXPECT_FALSE(pool_takes_frames(*state, now + 45 * kS));
  plan.frames_seen.insert(3);
  EXPECT_TRUE(pool_takes_frames(*state, now + 45 * kS)) << "a frame came: the batch still delivers";
}

TEST_F(PoolPreviewLink, WitnessClaimsHoldRangesAndArmTheHandoffOnce) {
  WitnessClaims& witness = state->preview.witness;
  witness.hold_ranges = true;
  pool_follow_preview_step(*state, kT0);
  EXPECT_TRUE(pool().ranges_held);
  EXPECT_FALSE(pool_launch_allowed(pool(), kT0 + 10 * kS));

  // An edit during the hold leaves a 5 s grace when the hold ends.
  note_pool_comp_edit(pool(), kT0);
  witness.hold_ranges = false;
  pool_follow_preview_step(*state, kT0 + kS);
  EXPECT_FALSE(pool().ranges_held);
  EXPECT_EQ(pool().ranges_held_until, kT0 + 6 * kS);

  witness.handoff = true;
  pool_follow_preview_step(*state, kT0 + 2 * kS);
  EXPECT_EQ(pool().handoff_deadline, kT0 + 2 * kS + 1000 * kNsPerMs) << "no measured delivery: 1000 ms";
  pool_follow_preview_step(*state, kT0 + 3 * kS);
  EXPECT_EQ(pool().handoff_deadline, kT0 + 2 * kS + 1000 * kNsPerMs) << "armed once";
  witness.handoff = false;
  pool_follow_preview_step(*state, kT0 + 4 * kS);
  EXPECT_FALSE(pool().handoff_deadline);
}

TEST_F(PoolPreviewLink, WithNoPanelOnScreenQueuedRangesAreDropped) {
  PoolPlan& plan = running_plan();
  plan.queued_ranges = {{0, 9, 0}, {20, 20, 0}, {30, 34, 0}};
  plan.expected_frames = 20;
  pool_follow_preview_step(*state, kT0);
  EXPECT_TRUE(pool().plan->queued_ranges.empty());
  EXPECT_EQ(pool().plan->expected_frames, 4u);
}

// Playing in the panel leaves the host's time at 0: the frame files the
// pool found wait read-first from the playhead, not from the host's time.
TEST_F(PoolPreviewLink, TheFoundFramesWaitFromThePlayhead) {
  running_plan();
  state->preview.current_frame = 0;
  state->preview.playhead = Playhead{100, 99, true};
  pump_pool_delivery(*state, kT0, {}, false);
  EXPECT_EQ(pool().last_reorder_playhead, std::optional<int64_t>(100));
}

TEST_F(PoolPreviewLink, PlayLiftsAnEditStormAndTheSnapshotMayStartAtOnce) {
  note_pool_comp_edit(pool(), kT0);
  note_pool_comp_edit(pool(), kT0 + kS);  // a storm: held for 5 s
  ASSERT_FALSE(pool_launch_allowed(pool(), kT0 + 2 * kS));
  pool_play_started(*state, kT0 + 2 * kS);
  EXPECT_TRUE(pool_launch_allowed(pool(), kT0 + 2 * kS));
}

// The raster path draws the pinned composition itself: while it holds it
// the pool's gates say no (no snapshot, no launch, no prewarm), and the
// hold ends with the tick after it lets go.
TEST_F(PoolPreviewLink, TheRasterPathHoldsThePoolWhilePreparationIsOn) {
  const auto comp = std::make_shared<const CompModel>();
  const struct {
    bool raster;
    bool prepare_switch;
    bool held;
  } cases[] = {{true, true, true}, {true, false, false}, {false, true, false}, {false, false, false}};
  for (const auto& c : cases) {
    PreviewController preview;
    if (c.raster) preview.raster_comp = comp;
    EXPECT_EQ(preparation_holds_pool(preview, c.prepare_switch), c.held) << c.raster << c.prepare_switch;
  }

  pool().templates_ready = 2;  // the pump stops before the host's scripting
  state->preview.raster_comp = comp;
  pool_idle_step(*state, kT0, false, {}, false);
  EXPECT_EQ(pool().preparation_hold, prepare_enabled());
  pool().templates_ready = 1;
  EXPECT_EQ(pool_launch_allowed(pool(), kT0 + 5 * kS), !prepare_enabled());
  pool().templates_ready = 2;
  state->preview.raster_comp.reset();
  pool_idle_step(*state, kT0 + kS, false, {}, false);
  EXPECT_FALSE(pool().preparation_hold);
}

}  // namespace
}  // namespace vel
