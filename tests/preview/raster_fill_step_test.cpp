// The idle hook's side of the raster fill: how many results a tick takes,
// what it does with them, and the hand-back when the fill raised its flag.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "cache/frame_cache_ops.h"
#include "panel/present/present_telemetry.h"
#include "preview/preview_controller.h"

namespace vel {
namespace {

RasterFrameResult result_of(int32_t value, uint32_t scale, uint32_t w, uint32_t h) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4, static_cast<uint8_t>(value));
  return RasterFrameResult{{value, scale}, PixelPayload::adopt(std::move(px)), scale ? double(value) / scale : value, w,
                           h};
}

PreviewController controller_at_25fps() {
  PreviewController ctl = make_preview_controller(1, 0);
  ctl.timing = CompFrameTiming{1, 25, 250, 25};
  ctl.frame_count = 250;
  return ctl;
}

TEST(RasterResults, ATickTakesAtMost8AndStopsAt32MiB) {
  struct Case {
    const char* what;
    uint32_t w, h;
    size_t sent;
    std::vector<size_t> per_tick;
  } cases[] = {
      {"small frames: 8 a tick", 4, 4, 12, {8, 4, 0}},
      {"20 MiB frames: the second reaches 32 MiB", 2560, 2048, 5, {2, 2, 1}},
  };
  for (const Case& c : cases) {
    PreviewController ctl = controller_at_25fps();
    FrameCache cache;
    {
      auto tx = open_job_channel(ctl.raster_slot, c.sent);
      for (size_t i = 0; i < c.sent; ++i) ASSERT_TRUE(tx.send(result_of(int32_t(i), 25, c.w, c.h)));
    }
    for (size_t want : c.per_tick) EXPECT_EQ(take_raster_results(ctl, cache), want) << c.what;
    EXPECT_EQ(ctl.counters.raster_frames, c.sent) << c.what;
    EXPECT_FALSE(ctl.raster_slot.running()) << c.what << ": the closed channel ends the fill";
  }
}

TEST(RasterResults, EachResultIsCachedRecordedAndTheAwaitedOnePresented) {
  PreviewController ctl = controller_at_25fps();
  ctl.playhead.frame = 3;
  std::vector<FrameKey> shown;
  ctl.present_hook = [&](const RgbaFrame& f) {
    shown.push_back(FrameKey{int32_t(f.pixels.bytes()[0]), 25});
    return true;
  };
  FrameCache cache;
  (void)drain_present_telemetry();
  {
    auto tx = open_job_channel(ctl.raster_slot, 4);
    ASSERT_TRUE(tx.send(result_of(2, 25, 4, 2)));
    ASSERT_TRUE(tx.send(result_of(3, 25, 4, 2)));
    ASSERT_TRUE(tx.send(result_of(4, 0, 4, 2)));  // a scale of 0: the cache refuses it
  }
  EXPECT_EQ(take_raster_results(ctl, cache), 3u);
  EXPECT_TRUE(contains_frame(cache, {2, 25}));
  EXPECT_TRUE(contains_frame(cache, {3, 25}));
  EXPECT_FALSE(contains_frame(cache, {4, 0}));
  EXPECT_EQ(ctl.counters.raster_frames, 2u);
  EXPECT_EQ(ctl.counters.cache_refused, 1u);
  EXPECT_EQ(shown, (std::vector<FrameKey>{{3, 25}}));
  EXPECT_EQ(ctl.presented, (FrameKey{3, 25}));
  size_t raster_events = 0;
  for (const PresentTelemetry& t : drain_present_telemetry()) raster_events += std::strcmp(t.backend, "raster") == 0;
  EXPECT_EQ(raster_events, 3u);
}

TEST(RasterResults, ARaisedFlagHandsTheCompositionBack) {
  PreviewController ctl = controller_at_25fps();
  FrameCache cache;
  ctl.raster_comp = std::make_shared<const CompModel>();
  const auto flag = ctl.raster_slot.cancel;
  const uint64_t generation = ctl.raster_slot.generation->load();
  raster_fill_step(ctl, cache, PreviewTickInputs{});
  EXPECT_TRUE(ctl.raster_comp) << "flag lowered: nothing happens";

  flag->store(true);
  raster_fill_step(ctl, cache, PreviewTickInputs{});
  EXPECT_FALSE(ctl.raster_comp);
  EXPECT_GT(ctl.raster_slot.generation->load(), generation) << "reset_preview_session renews the slot";
  EXPECT_FALSE(flag->load()) << "swapped back to false";
  EXPECT_NE(ctl.raster_slot.cancel.get(), flag.get());
}

CompModel sliding_solid() {
  LayerModel l;
  l.index = 1;
  l.name = "S";
  l.kind = LayerKind::Av;
  l.source = SolidSource{{1, 0, 0}, 16, 16};
  l.in_point = 0;
  l.out_point = 10;
  l.enabled = true;
  l.blend_mode = "normal";
  l.transform.anchor = AnimatedVec2::constant({0, 0});
  l.transform.scale = AnimatedVec2::constant({100, 100});
  l.transform.opacity = AnimatedScalar::keyed({{0, 0, Interpolation::Linear}, {10, 100, Interpolation::Linear}});
  CompModel c;
  c.width = 64;
  c.height = 32;
  c.layers = {l};
  return c;
}

// Takes results tick after tick until the fill has ended.
void fill_to_the_end(PreviewController& ctl, FrameCache& cache) {
  for (int i = 0; i < 200000 && ctl.raster_slot.running(); ++i) {
    if (take_raster_results(ctl, cache) == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  ASSERT_FALSE(ctl.raster_slot.running());
}

TEST(RasterFillStart, OncePerWorkAreaAndDownsampleAndASizeChangeCancels) {
  PreviewController ctl = controller_at_25fps();
  ctl.frame_count = 40;
  ctl.pinned_item = 7;
  ctl.playhead.frame = 30;
  ctl.raster_comp = std::make_shared<const CompModel>(sliding_solid());
  FrameCache cache;
  PreviewTickInputs in;

  start_raster_fill_if_due(ctl, cache, in);
  ASSERT_TRUE(ctl.raster_slot.running());
  const uint64_t first_generation = ctl.raster_slot.generation->load();
  ctl.downsample.quality_factor = 2;  // the Size popup changes during the fill
  start_raster_fill_if_due(ctl, cache, in);
  EXPECT_GT(ctl.raster_slot.generation->load(), first_generation + 1) << "cancelled, then renewed by the new fill";
  fill_to_the_end(ctl, cache);
  EXPECT_EQ(ctl.counters.raster_frames, 40u);
  for (int32_t f = 0; f < 40; ++f) EXPECT_EQ(cached_frame_width(cache, {f, 25}), 32u) << f;

  const uint64_t generation = ctl.raster_slot.generation->load();
  start_raster_fill_if_due(ctl, cache, in);
  EXPECT_FALSE(ctl.raster_slot.running()) << "armed once for the same work area and downsample";
  EXPECT_EQ(ctl.raster_slot.generation->load(), generation);
  BackgroundWorkerRegistry::process().drain();  // as the death hook joins them
}

}  // namespace
}  // namespace vel
