// The idle hook's side of playback by the Metal worker's own clock, against
// a real presenter driven with the time passed in.
#include <gtest/gtest.h>

#include "cache/frame_cache_ops.h"
#include "panel/present/metal/metal_present_worker.h"
#include "panel/present/metal/metal_rig.h"
#include "panel/present/metal/worker_playback.h"
#include "panel/present/present_telemetry.h"
#include "platform/metal_testing.h"

namespace vel {
namespace {

using namespace platform;

constexpr int32_t kFv = 1;
constexpr uint32_t kFs = 25;  // 25 fps
constexpr int64_t kFrames = 20;

class WorkerPlaybackRig : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_metal_faults();
    clear_metal_misuse_record();
    cache.budget_bytes = uint64_t{1} << 40;
    cache.reserve_bytes = 0;
    for (int64_t i = 0; i < kFrames; ++i) {
      std::vector<uint8_t> px(8 * 8 * 4, static_cast<uint8_t>(10 * i));
      for (size_t k = 3; k < px.size(); k += 4) px[k] = 255;
      const double time = static_cast<double>(i) / kFs;
      ASSERT_TRUE(cache_rendered_frame(cache, FrameKey{static_cast<int32_t>(i), kFs},
                                       RgbaFrame{PixelPayload::adopt(std::move(px)), time, 8, 8}));
    }
    in.timing = CompFrameTiming{kFv, kFs, static_cast<int32_t>(kFrames), kFs};
    in.frame_batch_limit = 240;
    clock.shown_time = FrameKey{2, kFs};
    layer = testing::panel_layer();
    job = testing::small_view_job();
    presenter = std::make_unique<MetalPresenter>(job, layer, testing::roomy_machine());
  }
  void TearDown() override {
    presenter.reset();
    EXPECT_TRUE(metal_misuse_record().empty());
    (void)drain_present_telemetry();
  }
  // One idle tick: the clock follows the worker, and the post goes out.
  std::optional<PresentPost> tick() {
    auto post = worker_playback_step(clock, playback, cache, in, read_presenter_result(*job));
    if (post) post_present_job(*job, *post, PresentRequest{1.0, 7, 3}, 100);
    return post;
  }
  int64_t shown_index() const { return clock.shown_time->value / kFv; }
  uint8_t screen_value() const { return layer->contents().bgra.at(0); }

  FrameCache cache;
  PlaybackClock clock;
  ClockInputs in;
  WorkerPlayback playback;
  std::shared_ptr<CAMetalLayer> layer;
  std::shared_ptr<PresentJob> job;
  std::unique_ptr<MetalPresenter> presenter;
};

TEST_F(WorkerPlaybackRig, TheWorkerPlaysFromTheShownFrameAndTheClockFollowsItsReports) {
  auto first = tick();
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->worker_play);
  EXPECT_EQ(first->seek, std::optional<int64_t>(2)) << "entering playback starts at the frame on screen";
  EXPECT_EQ(first->count, kFrames);
  EXPECT_EQ(first->range, std::make_pair(int64_t{0}, kFrames - 1));
  EXPECT_DOUBLE_EQ(first->fps, 25.0);
  ASSERT_TRUE(first->frames);
  EXPECT_FALSE(first->frames->empty());

  (void)presenter->iterate(0.0);    // the seek, reported at once
  (void)presenter->iterate(130.0);  // 3 frames later at 25 fps
  EXPECT_EQ(presenter->current_index(), 5);
  EXPECT_EQ(screen_value(), 50) << "frame 5 is on the layer";
  EXPECT_EQ(job->missed.load(), 2u) << "it woke late and stepped over frames 3 and 4";

  auto second = tick();
  ASSERT_TRUE(second);
  EXPECT_FALSE(second->seek) << "only entering playback seeks";
  EXPECT_EQ(shown_index(), 5);
  EXPECT_FALSE(clock.awaiting);

  // A report already followed does not move the clock again.
  clock.shown_time = FrameKey{4, kFs};
  EXPECT_FALSE(follow_worker_report(clock, playback, in.timing, read_presenter_result(*job)));
  EXPECT_EQ(shown_index(), 4);
}

TEST_F(WorkerPlaybackRig, EndingPlaybackKeepsTheLastFrameOnScreen) {
  (void)tick();
  (void)presenter->iterate(0.0);
  (void)presenter->iterate(90.0);
  (void)tick();
  EXPECT_EQ(shown_index(), 4);

  auto end = end_worker_playback(playback);
  ASSERT_TRUE(end);
  EXPECT_FALSE(end->worker_play);
  EXPECT_EQ(end->count, kFrames);
  post_present_job(*job, *end, PresentRequest{1.0, 7, 3}, 100);
  const uint64_t presents = layer->presentCount();
  (void)presenter->iterate(1000.0);
  EXPECT_EQ(layer->presentCount(), presents) << "a still worker draws nothing new";
  EXPECT_EQ(screen_value(), 40);
  EXPECT_FALSE(end_worker_playback(playback)) << "nothing to end twice";

  // Playing again seeks to the shown frame once more.
  auto again = tick();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->seek, std::optional<int64_t>(4));
}

// Stopped where it was as its panel went out of sight, after one more draw
// that was under way: the worker's last report still moves the clock while
// held, and playing again seeks to the frame on the layer, not back to the
// one the clock had followed before.
TEST_F(WorkerPlaybackRig, AHeldPlaybackTakesUpFromTheFrameTheWorkerLastPresented) {
  (void)tick();
  (void)presenter->iterate(0.0);
  (void)presenter->iterate(90.0);
  (void)tick();
  ASSERT_EQ(shown_index(), 4);

  auto end = end_worker_playback(playback);
  ASSERT_TRUE(end);
  playback.held = true;
  (void)presenter->iterate(130.0);  // the draw under way as the stop went out
  ASSERT_EQ(screen_value(), 50);
  post_present_job(*job, *end, PresentRequest{1.0, 7, 3}, 100);
  (void)presenter->iterate(1000.0);
  EXPECT_TRUE(follow_worker_report(clock, playback, in.timing, read_presenter_result(*job)));
  EXPECT_EQ(shown_index(), 5);

  auto again = tick();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->seek, std::optional<int64_t>(5));
  EXPECT_FALSE(playback.held);
  (void)presenter->iterate(1001.0);
  EXPECT_EQ(screen_value(), 50) << "the frame on the layer stays";
}

TEST_F(WorkerPlaybackRig, NoPostWhileTheClockCannotRun) {
  clock.shown_time.reset();
  EXPECT_FALSE(tick());
  clock.shown_time = FrameKey{0, kFs};
  in.timing.duration_value = 1;  // a single frame has no clock
  EXPECT_FALSE(tick());
  EXPECT_FALSE(playback.active);
}

}  // namespace
}  // namespace vel
