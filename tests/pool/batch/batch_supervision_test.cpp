// The batch supervision over a batch of no process: its frame channel is
// fed by the test, its clock is the test's. What the calls return, how a
// batch ends, and that nothing of an ended batch reaches the caller.
#include "pool/batch/batch_supervision.h"

#include <gtest/gtest.h>

#include "cache/frame_cache.h"
#include "cache/frame_cache_ops.h"
#include "host/log_capture.h"
#include "pool/batch/fed_batch.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "pool/pool_test_units.h"

namespace vel {
namespace {

constexpr Instant kSupervisionT0 = 1'000'000'000'000;

class BatchSupervision : public ::testing::Test {
 protected:
  void SetUp() override {
    auto [tx, rx] = make_bounded_channel<PoolFrameDelivery>(16);
    tx_ = std::move(tx);
    testing::start_fed_batch(rt_, std::move(rx), kSupervisionT0, {.frame_step = 2, .expected_frames = 10, .last_frame = 99});
    testing::quiet_supervision_world(world_, [this] { return now_; });
  }
  void send(int64_t frame, uint32_t width = 4, std::optional<uint64_t> worker = 0) {
    PoolFrameDelivery d;
    d.worker = worker;
    d.frame = frame;
    d.pixels = RgbaFrame{PixelPayload::adopt(std::vector<uint8_t>(size_t{width} * 2 * 4, 1)), 0.0, width, 2};
    ASSERT_TRUE(tx_.try_send(std::move(d)));
  }
  std::vector<IngestedFrame> tick() { return supervise_batches(rt_, 1, world_); }

  fake::LogCapture log_;
  PoolRuntime rt_ = new_pool_runtime(kOutputPsd);
  FrameSender tx_;
  SupervisionWorld world_;
  Instant now_ = kSupervisionT0 + kS;
};

TEST_F(BatchSupervision, EightFramesACallKeyedByTheBatchAndMarkedWithItsComposition) {
  for (int64_t f = 0; f < 9; ++f) send(f);
  const std::vector<IngestedFrame> first = tick();
  ASSERT_EQ(first.size(), 8u);
  for (size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(first[i].key, (FrameKey{static_cast<int32_t>(2 * i), 24})) << "frame × step over the scale";
    EXPECT_EQ(first[i].comp_identity, 7u);
  }
  const std::vector<IngestedFrame> second = tick();
  ASSERT_EQ(second.size(), 1u) << "the ninth waits for the next call";
  EXPECT_EQ(second[0].key.value, 16);
  EXPECT_EQ(rt_.plan->ledger.delivered, 9u);
  ASSERT_TRUE(rt_.plan->first_ms);
  EXPECT_DOUBLE_EQ(*rt_.plan->first_ms, 1000.0);
}

// The pump's form: a frame the cache already holds wide enough is still
// returned, but it is not useful.
TEST_F(BatchSupervision, TheCacheFormCountsAServedFrameAsNotUseful) {
  FrameCache cache;
  insert_frame(cache, FrameKey{4, 24}, RgbaFrame{PixelPayload::adopt(std::vector<uint8_t>(8 * 2 * 4, 1)), 0.0, 8, 2});
  send(1);
  send(2);
  const auto got = supervise_batches(rt_, 1, world_, cache, WidthRule{1, 8});
  EXPECT_EQ(got.size(), 2u);
  EXPECT_EQ(rt_.plan->ledger.delivered, 2u);
  EXPECT_EQ(rt_.plan->ledger.useful_frames, 1u);
}

// Only a frame of the range its worker was given reaches the caller: one
// written under another number, by a worker of another range, or by no
// worker of the batch is taken off the channel and dropped uncounted.
TEST_F(BatchSupervision, AFrameOutsideItsWorkersRangeIsDropped) {
  PoolJob& second = rt_.plan->jobs.emplace_back();
  second.worker_index = 1;
  second.first_frame = 100;
  second.last_frame = 109;
  second.finished = true;
  const struct {
    int64_t frame;
    std::optional<uint64_t> worker;
    bool taken;
  } rows[] = {
      {5, 0, true},         {99, 0, true},  {100, 0, false},  // the next range's first frame
      {1005, 0, false},     {-1, 0, false}, {101, 1, true},   {50, 1, false},
      {6, 2, false},  // no such worker in the batch
      {7, std::nullopt, false},
  };
  rt_.plan->queued_ranges.assign(1, QueuedRange{200, 209});  // kept open, launching paused
  rt_.pump_paused = true;
  uint64_t taken = 0;
  for (const auto& r : rows) {
    send(r.frame, 4, r.worker);
    const std::vector<IngestedFrame> got = tick();
    ASSERT_TRUE(rt_.plan);
    EXPECT_EQ(got.size(), r.taken ? 1u : 0u) << r.frame;
    taken += r.taken ? 1 : 0;
    EXPECT_EQ(rt_.plan->ledger.delivered, taken) << r.frame;
    EXPECT_EQ(rt_.plan->ledger.tries.count(r.frame), r.taken ? 1u : 0u) << r.frame;
  }
}

// Ending a batch drops its channel and stash: a sender of that batch finds
// nobody, and the next batch starts with nothing of it.
TEST_F(BatchSupervision, AnEditEndsTheBatchWithItsChannelAndStash) {
  send(0);
  rt_.plan->stash = PoolFrameDelivery{};
  note_pool_comp_edit(rt_, now_);
  EXPECT_FALSE(rt_.plan);
  PoolFrameDelivery late;
  late.frame = 3;
  EXPECT_FALSE(tx_.try_send(std::move(late)));
  EXPECT_TRUE(tick().empty());
}

// A memory batch with no callback at all for its silent limit: killed in
// the call where the whole seconds reach it, and PSD taken for later ones.
TEST_F(BatchSupervision, ASilentMemoryBatchStallsAndSelectsPsd) {
  rt_.selected_output = kOutputMemory;
  rt_.plan->output_format = kOutputMemory;
  rt_.plan->queued_ranges.push_back({0, 9});  // kept open, launching paused
  rt_.pump_paused = true;
  now_ = kSupervisionT0 + 240 * kS - 1;
  EXPECT_TRUE(tick().empty());
  ASSERT_TRUE(rt_.plan);
  now_ = kSupervisionT0 + 240 * kS;
  EXPECT_TRUE(tick().empty());
  EXPECT_FALSE(rt_.plan);
  EXPECT_EQ(rt_.selected_output, kOutputPsd);
  EXPECT_EQ(log_.lines_with("pool: lot muet TUÉ après 240 s (0/10 frame) — clients et moteurs balayés").size(), 1u);
  EXPECT_EQ(log_.lines_with("pool: memory output stalled — PSD selected for a future batch").size(), 1u);
}

// Nothing pending: the batch closes, and its end says when the next starts
// and whether a short TGA batch sends later ones to PSD.
TEST_F(BatchSupervision, ClosingByOutputAndFramesDelivered) {
  struct Case {
    const char* name;
    uint8_t output;
    int64_t frames;
    bool quick;
    uint8_t output_after;
    uint64_t cooldown_ns;
  } cases[] = {
      {"PSD whole, quick chaining", kOutputPsd, 10, true, kOutputPsd, kS / 2},
      {"PSD whole, no chaining", kOutputPsd, 10, false, kOutputPsd, 3 * kS},
      {"TGA short", kOutputTga, 9, true, kOutputPsd, 3 * kS},
      {"PSD short", kOutputPsd, 9, true, kOutputPsd, 3 * kS},
  };
  for (const Case& c : cases) {
    SetUp();
    rt_.selected_output = c.output;
    rt_.plan->output_format = c.output;
    rt_.quick_chaining = c.quick;
    for (int64_t f = 0; f < c.frames; ++f) send(f);
    while (rt_.plan && !tick().empty()) {
    }
    if (rt_.plan) tick();
    EXPECT_FALSE(rt_.plan) << c.name;
    EXPECT_EQ(rt_.selected_output, c.output_after) << c.name;
    EXPECT_EQ(rt_.launch_cooldown_until, now_ + c.cooldown_ns) << c.name;
  }
  EXPECT_EQ(log_.lines_with("pool: lot expérimental incomplet — repli PSD pour les images manquantes").size(), 1u);
}

// However a batch ends, the memory peaks of its process groups end with
// it; the per-worker estimate stays for the next batch's sizing.
TEST_F(BatchSupervision, AnEndedBatchEndsItsMemoryWindow) {
  const struct {
    const char* name;
    int64_t frames;  // delivered before the end
    Instant at;      // the call's instant
  } cases[] = {
      {"closed whole", 10, kSupervisionT0 + kS},
      {"closed without a frame", 0, kSupervisionT0 + kS},
      {"killed as silent", 0, kSupervisionT0 + 240 * kS},
  };
  for (const auto& c : cases) {
    SetUp();
    if (c.at > kSupervisionT0 + kS) {  // kept open, launching paused, until the silent limit
      rt_.plan->queued_ranges.push_back({0, 9});
      rt_.pump_paused = true;
    }
    rt_.group_rss_peak = uint64_t{3} << 30;
    rt_.worker_bytes_estimate = uint64_t{3} << 30;
    rt_.total_rss_peak = uint64_t{6} << 30;
    rt_.concurrent_groups = 2;
    rt_.rss_window_started = kSupervisionT0;
    for (int64_t f = 0; f < c.frames; ++f) send(f);
    now_ = c.at;
    for (int i = 0; i < 4 && rt_.plan; ++i) (void)tick();
    ASSERT_FALSE(rt_.plan) << c.name;
    EXPECT_EQ(rt_.group_rss_peak, 0u) << c.name;
    EXPECT_EQ(rt_.total_rss_peak, 0u) << c.name;
    EXPECT_EQ(rt_.concurrent_groups, 0u) << c.name;
    EXPECT_FALSE(rt_.rss_window_started) << c.name;
    EXPECT_EQ(rt_.worker_bytes_estimate, uint64_t{3} << 30) << c.name;
  }
}

// A PSD batch that produced nothing disables the pool for the session.
TEST_F(BatchSupervision, APsdBatchWithoutAnyFrameDisablesThePool) {
  EXPECT_TRUE(tick().empty());
  EXPECT_FALSE(rt_.plan);
  EXPECT_TRUE(rt_.disabled_for_session);
  EXPECT_EQ(log_.lines_with("pool: DÉSACTIVÉ pour la session — lot sans aucune frame produite — vérifier ").size(), 1u);
}

// The engine memory samples are what measured admission judges: a worker's
// launch and its exit leave them in place (a sample with another engine
// count starts a new series by itself), where emptying them at each launch
// and exit kept the verdict at Missing while every range lasts a few seconds.
TEST_F(BatchSupervision, EngineSamplesOutliveAWorkersLaunchAndExit) {
  world_.measured_admission = true;
  world_.adaptive_scheduler = false;
  world_.configured_workers = 4;
  world_.parallelism = 8;
  size_t spawned = 0;
  world_.spawn_worker = [&spawned](const LaunchRequest&) {
    ++spawned;
    return std::optional<PoolJob>(PoolJob{});  // no process: seen ended at the next poll
  };
  PoolPlan& plan = *rt_.plan;
  plan.worker_request = LaunchRequest{};
  plan.queued_ranges.push_back({0, 9});
  plan.target_workers = 4;
  for (int i = 0; i < 3; ++i) {
    EngineMemorySample sample;
    sample.engine_bytes = {uint64_t{2} << 30};
    sample.collection_start_ns = kSupervisionT0 + uint64_t(i) * kS / 4;
    sample.collection_end_ns = sample.collection_start_ns + 1;
    sample.frame_instant_ns = sample.collection_end_ns;
    sample.available_bytes = uint64_t{32} << 30;
    sample.frames = uint64_t(i);
    ASSERT_TRUE(record_engine_sample(rt_.engine_samples, sample));
  }
  (void)tick();
  ASSERT_EQ(spawned, 1u);
  EXPECT_EQ(rt_.engine_samples.samples.size(), 3u) << "the launch kept the samples";
  now_ += kS / 10;
  (void)tick();
  ASSERT_TRUE(rt_.plan);
  ASSERT_EQ(rt_.plan->jobs.size(), 2u);
  EXPECT_TRUE(rt_.plan->jobs.back().finished);
  EXPECT_EQ(rt_.engine_samples.samples.size(), 3u) << "the exit kept the samples";
}

}  // namespace
}  // namespace vel
