// The Metal worker's draws in flight when the panel takes up a stop: none
// of them reaches the screen after it, the stop answers the frame whose
// picture is there, and the frame the panel keeps is drawn last.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "panel/present/metal/metal_present_worker.h"
#include "panel/present/metal/metal_rig.h"
#include "platform/metal_testing.h"

namespace vel {
namespace {

using namespace platform;

NeighbourFrame entry(int64_t index, uint32_t side = 8) {
  std::vector<uint8_t> px(size_t{side} * side * 4, static_cast<uint8_t>(10 + index * 20));
  for (size_t i = 3; i < px.size(); i += 4) px[i] = 255;
  return NeighbourFrame{index, PixelPayload::adopt(std::move(px)), static_cast<double>(index) / 25.0, side, side};
}

std::vector<NeighbourFrame> loop_of(int64_t n, uint32_t side = 8) {
  std::vector<NeighbourFrame> all;
  for (int64_t i = 0; i < n; ++i) all.push_back(entry(i, side));
  return all;
}

PresentPost playing(const std::vector<NeighbourFrame>& frames, double fps) {
  PresentPost post;
  post.worker_play = true;
  post.count = static_cast<int64_t>(frames.size());
  post.range = std::make_pair(int64_t{0}, post.count - 1);
  post.fps = fps;
  post.frames = std::make_shared<const std::vector<NeighbourFrame>>(frames);
  post.seek = 0;
  return post;
}

// The post that ends that playback, as the panel's stop sends it.
PresentPost stopping(PresentPost post) {
  post.worker_play = false;
  post.seek.reset();
  post.stop_at = std::chrono::steady_clock::now();
  return post;
}

// What the screen shows, as the view's bytes of one frame drawn there.
std::vector<uint8_t> picture_of(const std::shared_ptr<CAMetalLayer>& layer) { return layer->contents().bgra; }

class MetalStop : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_metal_faults();
    clear_metal_misuse_record();
  }
  void TearDown() override {
    reset_metal_faults();
    EXPECT_TRUE(metal_misuse_record().empty());
    (void)drain_present_telemetry();
  }
};

// Three playback draws held by the GPU at the stop, none or one of them on
// screen before it: the ones still in flight end after the stop and show
// nothing; the stop answers the frame on screen; the kept frame posted with
// the stop is drawn after them and stays.
TEST_F(MetalStop, DrawsInFlightAtAStopNeverReachTheScreen) {
  struct Case {
    const char* name;
    uint64_t landed;                    // draws that reached the screen before the stop
    std::optional<int64_t> on_screen;   // what the stop answers
  } cases[] = {{"none landed", 0, std::nullopt}, {"the first landed", 1, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_metal_faults();
    set_metal_completion(MetalCompletion::held);
    auto layer = testing::panel_layer();
    auto job = testing::small_view_job();
    MetalPresenter presenter(job, layer, testing::roomy_machine());
    const std::vector<NeighbourFrame> all = loop_of(10);
    const PresentPost play = playing(all, 25.0);
    post_present_job(*job, play, PresentRequest{1.0, 7, 3}, 100);
    for (int k = 0; k < 3; ++k) presenter.iterate(40.0 * k);
    ASSERT_EQ(held_command_buffer_count(), 3u) << "three draws in flight";
    release_held_command_buffers(c.landed);
    const uint64_t shown_before = layer->presentCount();
    EXPECT_EQ(shown_before, c.landed);
    const std::vector<uint8_t> before = picture_of(layer);

    EXPECT_EQ(post_playback_stop(*job, stopping(play), PresentRequest{1.0, 7, 4}, 100), c.on_screen);
    release_held_command_buffers();
    EXPECT_EQ(layer->presentCount(), shown_before) << "a draw of before the stop landed after it";
    EXPECT_EQ(picture_of(layer), before);

    // The panel keeps frame 1 and shows it again.
    const NeighbourFrame& kept = all[1];
    post_explicit_frame(*job, RgbaFrame{kept.pixels, kept.time, kept.width, kept.height}, PresentRequest{1.0, 7, 4});
    presenter.iterate(200.0);
    release_held_command_buffers();
    presenter.iterate(201.0);
    EXPECT_EQ(layer->presentCount(), shown_before + 1);
    // A frame whose bytes are all one value draws as that value.
    const std::vector<uint8_t> last = picture_of(layer);
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last[0], kept.pixels.data()[0]) << "the kept frame is the last picture";
  }
}

// The worker on its own thread, playing fast with the GPU on its own
// thread: once the stop returns, at most the one picture it named as going
// on screen still lands, and the screen ends on the frame the stop named.
TEST_F(MetalStop, AStopOnTheWorkerThreadFreezesTheScreen) {
  set_metal_completion(MetalCompletion::device_thread);
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    auto layer = testing::panel_layer();
    auto job = std::make_shared<PresentJob>();
    job->view_width = 512;
    job->view_height = 512;
    std::thread worker(metal_present_worker_loop, job, layer, testing::roomy_machine());
    const std::vector<NeighbourFrame> all = loop_of(12, 256);
    const PresentPost play = playing(all, 240.0);
    post_present_job(*job, play, PresentRequest{1.0, 7, 3}, 100);
    ASSERT_TRUE(layer->waitForPresentCount(3 + static_cast<uint64_t>(round)));
    const std::optional<int64_t> on_screen = post_playback_stop(*job, stopping(play), PresentRequest{1.0, 7, 4}, 100);
    const uint64_t count = layer->presentCount();
    stop_present_job(*job);
    worker.join();
    wait_metal_device_idle();
    EXPECT_LE(layer->presentCount(), count + 1) << "draws of before the stop landed after it";
    const std::vector<uint8_t> last = picture_of(layer);
    ASSERT_TRUE(on_screen.has_value());
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last[0], all[static_cast<size_t>(*on_screen)].pixels.data()[0]) << "the stop named another frame";
  }
}

// A stop while a picture of the playback is going on screen does not wait
// for it: it answers that picture's frame at once; a picture that comes to
// the gate after the stop is dropped.
TEST_F(MetalStop, AStopNeverWaitsForAPictureGoingOnScreen) {
  PresentJob job;
  std::vector<NeighbourFrame> frames = loop_of(4);
  PresentPost play = playing(frames, 25.0);
  post_present_job(job, play, PresentRequest{1.0, 7, 3}, 100);
  const uint64_t generation = job.generation.load(), stops = job.stops.load();

  std::mutex m;
  std::condition_variable cv;
  bool showing = false, stop_returned = false, shown = false;
  std::thread presenter([&] {
    (void)show_if_current(job, generation, stops, 1, [&] {
      std::unique_lock lock(m);
      showing = true;
      cv.notify_all();
      // Held until the stop returns; a stop that waited for this picture
      // would let it go only after this bound, and be seen late.
      cv.wait_for(lock, std::chrono::seconds(20), [&] { return stop_returned; });
      shown = true;
    }, std::make_pair(uint64_t{1}, int64_t{2}));
  });
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return showing; });
  }
  const std::optional<int64_t> on_screen = post_playback_stop(job, stopping(play), PresentRequest{1.0, 7, 4}, 100);
  bool shown_first = false;
  {
    std::lock_guard lock(m);
    shown_first = shown;
    stop_returned = true;
  }
  cv.notify_all();
  presenter.join();
  EXPECT_FALSE(shown_first) << "the stop waited for the picture going on screen";
  EXPECT_EQ(on_screen, std::optional<int64_t>(2));
  EXPECT_EQ(read_screen_index(job), std::nullopt) << "the stop moved the generation on";

  bool late_shown = false;
  EXPECT_FALSE(
      show_if_current(job, generation, stops, 2, [&] { late_shown = true; }, std::make_pair(uint64_t{2}, int64_t{3})));
  EXPECT_FALSE(late_shown) << "a picture drawn before the stop reached the screen after it";
}

// Draws may end out of the order they were made in (a still frame drawn on
// one path, then the playback from it on another): a draw that ends after a
// newer one reached the screen is dropped, so the picture never goes back.
TEST_F(MetalStop, AnOlderDrawEndingAfterANewerOneNeverReachesTheScreen) {
  PresentJob job;
  const uint64_t generation = job.generation.load(), stops = job.stops.load();
  std::vector<int> shown;
  auto put = [&](uint64_t order, int what, std::optional<std::pair<uint64_t, int64_t>> draw) {
    return show_if_current(job, generation, stops, order, [&] { shown.push_back(what); }, draw);
  };
  EXPECT_TRUE(put(2, 2, std::make_pair(uint64_t{1}, int64_t{2})));  // the playback's first picture
  EXPECT_FALSE(put(1, 1, std::nullopt)) << "the still frame drawn before it ended late and showed";
  EXPECT_TRUE(put(3, 3, std::make_pair(uint64_t{2}, int64_t{3})));
  EXPECT_EQ(shown, (std::vector<int>{2, 3}));
}

}  // namespace
}  // namespace vel
