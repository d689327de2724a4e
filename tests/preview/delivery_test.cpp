#include <gtest/gtest.h>

#include <thread>

#include "cache/frame_cache.h"
#include "cache/frame_cache_ops.h"
#include "preview/async_render.h"
#include "preview/delivery.h"
#include "preview/delivery_measures.h"
#include "preview/level_render_times.h"
#include "preview/preview_controller.h"

namespace vel {
namespace {

TEST(Delivery, DecisionTable) {
  DeliveryInputs base;
  base.has_comp = true;
  base.missing_frames = 10;
  auto with = [&](auto change) {
    DeliveryInputs in = base;
    change(in);
    return in;
  };
  struct Case {
    const char* name;
    DeliveryInputs in;
    Producer producer;
    std::string_view reason;
  } cases[] = {
      {"no composition", with([](auto& i) { i.has_comp = false; }), Producer::None, "no_comp"},
      {"modal wins over everything", with([](auto& i) { i.modal = true; i.current_missing = true; }), Producer::None,
       "modal"},
      {"nothing missing", with([](auto& i) { i.missing_frames = 0; i.async_available = true; }), Producer::None,
       "all_cached"},
      {"nothing missing but requests in flight",
       with([](auto& i) { i.missing_frames = 0; i.renders_in_flight = 3; i.async_available = true; }),
       Producer::None, "awaiting_renders"},
      {"in flight while edits settle",
       with([](auto& i) { i.missing_frames = 0; i.renders_in_flight = 1; i.edit_quiet = false; }), Producer::None,
       "awaiting_renders"},
      {"missing frames with requests in flight keep submitting",
       with([](auto& i) { i.renders_in_flight = 2; i.async_available = true; }), Producer::InProcessAsync,
       "async_prefetch"},
      {"modal even with requests in flight",
       with([](auto& i) { i.missing_frames = 0; i.renders_in_flight = 2; i.modal = true; }), Producer::None,
       "modal"},
      {"edits settling", with([](auto& i) { i.edit_quiet = false; i.current_missing = true; }), Producer::None,
       "edit_settling"},
      {"playhead frame first, even with async",
       with([](auto& i) { i.current_missing = true; i.async_available = true; }), Producer::InProcessSync,
       "current_frame"},
      {"rest to the render manager", with([](auto& i) { i.async_available = true; }), Producer::InProcessAsync,
       "async_prefetch"},
      {"synchronous sweep without async", base, Producer::InProcessSync, "sync_sweep"},
      {"raster when it holds the composition", with([](auto& i) { i.raster_ready = true; i.current_missing = true; }),
       Producer::Raster, "raster"},
      {"pool before async for the rest", with([](auto& i) { i.pool_ready = true; i.async_available = true; }),
       Producer::Pool, "pool_next_batch_ready"},
      {"a running batch keeps the rest from the main thread",
       with([](auto& i) { i.pool_engaged = true; }), Producer::None, "pool_engaged"},
      {"nor the render manager", with([](auto& i) { i.pool_engaged = true; i.async_available = true; }),
       Producer::None, "pool_engaged"},
      {"what the batch gave up goes to the render manager",
       with([](auto& i) { i.pool_engaged = true; i.pool_gave_up = true; i.async_available = true; }),
       Producer::InProcessAsync, "async_prefetch"},
      {"or to the main thread without it", with([](auto& i) { i.pool_engaged = true; i.pool_gave_up = true; }),
       Producer::InProcessSync, "sync_sweep"},
      {"but the playhead frame is rendered now",
       with([](auto& i) { i.pool_engaged = true; i.current_missing = true; }), Producer::InProcessSync,
       "current_frame"},
      {"async stalled", with([](auto& i) { i.async_available = true; i.async_stalled = true; }),
       Producer::InProcessSync, "async_stalled"},
      {"the playhead frame first, whatever was measured",
       with([](auto& i) { i.current_missing = true; i.async_available = true; i.async_stalled = true; }),
       Producer::InProcessSync, "current_frame"},
  };
  for (const auto& c : cases) {
    const DeliveryDecision d = decide_delivery(c.in);
    EXPECT_EQ(c.producer, d.producer) << c.name;
    EXPECT_EQ(c.reason, d.reason) << c.name;
    EXPECT_EQ(c.producer == Producer::Pool, d.use_pool) << c.name;
  }
  EXPECT_EQ("DELIVERY use_pool=true reason=pool", delivery_perf_line({Producer::Pool, true, "pool"}));
}

TEST(Delivery, MeasuresComeFromTheLevelStatistics) {
  LevelDeliveryStats stats;
  PerFactorTimes per_factor{};
  DeliveryMeasures none = measure_delivery(stats, per_factor, 4, 10, 1000.0);
  EXPECT_FALSE(async_stalled(none, true)) << "nothing measured, nothing stalled";
  EXPECT_EQ(delivery_measures_text(none),
            " ds=4 level_ms(sync,async)=[None, None] async_fresh=false fastest=None predicted_ms=None");

  // Factor 4: in-process 20 ms a frame; asynchronous 100 ms a render with
  // arrivals 100 ms apart.
  stats.inprocess_ms[2] = {3, 20.0};
  stats.async_ms[2] = {3, 100.0};
  for (double t : {800.0, 900.0, 1000.0}) note_level_delivery(stats, 4, t);
  per_factor[*per_factor_slot(4)] = 20.0;
  DeliveryMeasures m = measure_delivery(stats, per_factor, 4, 10, 1050.0);
  EXPECT_EQ(m.sync_frame_ms, 20.0);
  EXPECT_EQ(m.async_frame_ms, 100.0);
  EXPECT_EQ(delivery_measures_text(m), " ds=4 level_ms(sync,async)=[Some(20.0), Some(100.0)] async_fresh=true "
                                       "fastest=Some(4) predicted_ms=Some(20.0)");
  struct Case {
    double now;
    bool waiting;
    bool stalled;
  } cases[] = {{1050.0, true, false},    // still arriving
               {1251.0, true, false},    // stale, but not silent long enough
               {3000.0, true, false},    // exactly 2 s
               {3000.5, true, true},     // past it, requests waiting
               {3000.5, false, false}};  // past it, nothing asked
  for (const Case& c : cases) {
    EXPECT_EQ(async_stalled(measure_delivery(stats, per_factor, 4, 10, c.now), c.waiting), c.stalled) << c.now;
  }
}

// A 2×1 premultiplied 8-bit world.
const uint8_t kWorld[8] = {255, 10, 20, 30, 128, 64, 0, 128};
const HostPixels kPixels{kWorld, 2, 1, 8, SourceDepth::Bpc8, AlphaKind::Premultiplied};

TEST(AsyncTick, OnlyCurrentGenerationResultsAreCached) {
  reset_async_inbox_for_tests();
  FrameCache cache;
  PreviewController ctl = make_preview_controller(1, 0);
  const uint64_t old_gen = async_generation();
  // Three completions from the host's thread: one before a cancel, one
  // flagged cancelled, one after.
  std::thread host([&] {
    deliver_async_result(AsyncTicket{old_gen, {1, 24}, 1, 0}, 11, false, "", &kPixels);
    deliver_async_result(AsyncTicket{old_gen, {2, 24}, 1, 0}, 12, true, "", nullptr);
  });
  host.join();
  for (int i = 0; i < 3; ++i) note_async_submitted();
  const uint64_t gen = cancel_async_renders(ctl);
  EXPECT_EQ(old_gen + 1, gen);
  deliver_async_result(AsyncTicket{gen, {3, 24}, 1, 0}, 13, false, "", &kPixels);

  PreviewTickReport report;
  async_render_tick(ctl, cache, report);
  EXPECT_EQ(1u, ctl.counters.async_stale);
  EXPECT_EQ(1u, ctl.counters.async_cancelled);
  EXPECT_EQ(1u, ctl.counters.async_frames);
  EXPECT_FALSE(contains_frame(cache, FrameKey{1, 24})) << "a result of before the cancel is never cached";
  auto kept = cached_frame(cache, FrameKey{3, 24});
  ASSERT_TRUE(kept);
  EXPECT_EQ((std::vector<uint8_t>{10, 20, 30, 255, 64, 0, 128, 128}),
            std::vector<uint8_t>(kept->pixels.bytes().begin(), kept->pixels.bytes().end()));
  EXPECT_EQ(0u, async_renders_in_flight()) << "collected results are no longer in flight";
}

TEST(AsyncTick, FailedCompletionIsCountedAndNotAskedForAgain) {
  reset_async_inbox_for_tests();
  FrameCache cache;
  PreviewController ctl = make_preview_controller(1, 0);
  note_async_submitted();
  deliver_async_result(AsyncTicket{async_generation(), {5, 24}, 2, 0}, 21, false, "Generic", nullptr);
  PreviewTickReport report;
  async_render_tick(ctl, cache, report);
  EXPECT_EQ(1u, ctl.counters.async_failed);
  EXPECT_TRUE(ctl.unplaceable.count(FrameKey{5, 24}));
}

TEST(FrameKeys, OfFrameIndexes) {
  PreviewController ctl = make_preview_controller(1, 0);
  EXPECT_FALSE(frame_key_of(ctl, 0)) << "no timing yet";
  ctl.timing = CompFrameTiming{1001, 30000, 1001 * 300, 30000};
  struct Case {
    int64_t frame;
    std::optional<FrameKey> want;
  } cases[] = {
      {0, FrameKey{0, 30000}},
      {3, FrameKey{3003, 30000}},
      {INT32_MAX / 1001, FrameKey{INT32_MAX / 1001 * 1001, 30000}},
      {INT32_MAX / 1001 + 1, std::nullopt},  // the time would leave 32 bits, never wrap onto another frame
      {INT64_MAX, std::nullopt},
      {-1, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(c.want, frame_key_of(ctl, c.frame)) << c.frame;
}

TEST(LevelRenderTimes, FoldsOnlyUsableSamples) {
  LevelRenderTimes t;
  PerFactorTimes per{};
  EXPECT_TRUE(record_inprocess_sample(t, per, 4, 100.0));
  EXPECT_TRUE(record_inprocess_sample(t, per, 4, 200.0));
  EXPECT_DOUBLE_EQ(0.3 * 200.0 + 0.7 * 100.0, t.inprocess_ms[2].average);
  EXPECT_EQ(2u, t.inprocess_ms[2].count);
  EXPECT_EQ(200.0, per[2]) << "slot order 16, 8, 4, 2, 1";
  EXPECT_FALSE(record_inprocess_sample(t, per, 3, 10.0)) << "not a factor";
  EXPECT_FALSE(record_inprocess_sample(t, per, 32, 10.0));
  EXPECT_FALSE(record_inprocess_sample(t, per, 1, 0.0)) << "a zero time says nothing";
  EXPECT_FALSE(record_async_sample(t, 1, std::nan("")));
  EXPECT_TRUE(record_async_sample(t, 16, 0.0));
  ExpAverage full{UINT64_MAX, 5.0};
  fold_sample(full, 5.0);
  EXPECT_EQ(UINT64_MAX, full.count) << "saturates";
}

}  // namespace
}  // namespace vel
