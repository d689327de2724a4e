// The Metal present worker's iterations, driven with the time passed in and
// command buffers ended at commit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/log.h"
#include "panel/present/metal/metal_present_worker.h"
#include "panel/present/metal/metal_rig.h"
#include "platform/metal_testing.h"

namespace vel {
namespace {

using namespace platform;

NeighbourFrame worker_entry(int64_t index, uint32_t w = 8, uint32_t h = 8, uint8_t alpha = 255) {
  std::vector<uint8_t> px(size_t{w} * h * 4, static_cast<uint8_t>(index * 9));
  for (size_t i = 3; i < px.size(); i += 4) px[i] = alpha;
  return NeighbourFrame{index, PixelPayload::adopt(std::move(px)), static_cast<double>(index) / 25.0, w, h};
}

RgbaFrame still(uint8_t seed) {
  NeighbourFrame e = worker_entry(seed);
  return RgbaFrame{e.pixels, e.time, e.width, e.height};
}

class MetalWorker : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_metal_faults();
    clear_metal_misuse_record();
    (void)drain_present_telemetry();
    log_path = std::filesystem::temp_directory_path() /
               ("vel-metal-worker-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log");
    std::filesystem::remove(log_path);
    open_log_file_at(log_path, LogRole::Host);
    layer = testing::panel_layer();
    job = testing::small_view_job();
    bytes_before = present_pixel_bytes().load();
  }
  void TearDown() override {
    presenter.reset();
    close_log_file();
    std::filesystem::remove(log_path);
    reset_metal_faults();
    EXPECT_TRUE(metal_misuse_record().empty());
    EXPECT_EQ(present_pixel_bytes().load(), bytes_before);
    (void)drain_present_telemetry();
  }
  void start(MetalPresenterOptions o = {}) {
    presenter = std::make_unique<MetalPresenter>(job, layer, testing::roomy_machine(std::move(o)));
  }
  int lines_with(const std::string& text) {
    std::ifstream in(log_path);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) n += line.find(text) != std::string::npos;
    return n;
  }
  std::vector<std::string> presented_backends() {
    std::vector<std::string> out;
    for (const PresentTelemetry& t : drain_present_telemetry()) {
      if (t.kind == kEventPresented) out.push_back(t.backend);
    }
    return out;
  }
  // Playback enters at `frame`, as the idle hook's first post asks.
  void seek_to(int64_t frame) {
    std::lock_guard lock(job->mutex);
    job->seek = frame;
  }
  void play(std::vector<NeighbourFrame> frames, std::pair<int64_t, int64_t> range, double fps) {
    PresentPost post;
    post.worker_play = true;
    post.count = 100;
    post.range = range;
    post.fps = fps;
    post.frames = std::make_shared<const std::vector<NeighbourFrame>>(std::move(frames));
    post_present_job(*job, post, PresentRequest{1.0, 7, 3}, 100);
  }

  std::filesystem::path log_path;
  std::shared_ptr<CAMetalLayer> layer;
  std::shared_ptr<PresentJob> job;
  std::unique_ptr<MetalPresenter> presenter;
  uint64_t bytes_before = 0;
};

TEST_F(MetalWorker, StillFrameThenIdle) {
  start();
  post_explicit_frame(*job, still(1), PresentRequest{});
  EXPECT_EQ(presenter->iterate(0.0), std::optional<double>(4.0));  // the slot waits for its poll
  EXPECT_EQ(presenter->iterate(1.0), std::nullopt);
  EXPECT_EQ(job->presented.load(), 1u);
  EXPECT_EQ(presented_backends(), std::vector<std::string>{"metal-gpu"});
  // A resize redraws the retained frame once.
  job->view_width = 16;
  presenter->iterate(2.0);
  presenter->iterate(3.0);
  EXPECT_EQ(job->presented.load(), 2u);
  EXPECT_EQ(layer->contents().width, 16u);
}

TEST_F(MetalWorker, SwitchesPickThePath) {
  struct Case {
    bool gpu, blit;
    const char* backend;
  } cases[] = {{true, true, "metal-gpu"}, {false, true, "metal-blit"}, {false, false, "metal-direct"}};
  for (const Case& c : cases) {
    MetalPresenterOptions o;
    o.gpu_allowed = c.gpu;
    o.blit_allowed = c.blit;
    start(o);
    post_explicit_frame(*job, still(2), PresentRequest{});
    presenter->iterate(0.0);
    EXPECT_EQ(presented_backends(), std::vector<std::string>{c.backend});
    presenter.reset();
  }
}

TEST_F(MetalWorker, RepeatedFailuresDegradeGpuThenBlitKeepingTheImage) {
  start();
  post_explicit_frame(*job, still(3), PresentRequest{});
  presenter->iterate(0.0);
  const LayerContents good = layer->contents();
  fail_next_command_buffers(6);
  job->view_width = 9;  // redraws: each fails at commit and is retried
  double now = 1.0;
  for (int i = 0; i < 20 && presenter->has_blit(); ++i) presenter->iterate(now++);
  EXPECT_FALSE(presenter->has_gpu());
  EXPECT_FALSE(presenter->has_blit());
  EXPECT_EQ(lines_with("metal: command failed; displayed image retained and latest frame retried"), 6);
  EXPECT_EQ(lines_with("metal: repeated GPU errors; using CPU preparation"), 1);
  EXPECT_EQ(lines_with("metal: repeated blit errors; using direct upload"), 1);
  EXPECT_EQ(layer->contents().bgra, good.bgra);  // failures never reached the screen
  presenter->iterate(now++);
  const std::vector<std::string> b = presented_backends();
  EXPECT_EQ(std::count(b.begin(), b.end(), "metal-blit"), 3);
  EXPECT_EQ(b.back(), "metal-direct");
}

TEST_F(MetalWorker, OlderGenerationFailureIsLoggedButNotCounted) {
  set_metal_completion(MetalCompletion::held);
  start();
  post_explicit_frame(*job, still(4), PresentRequest{});
  presenter->iterate(0.0);
  cancel_present_job(*job);  // a new generation
  fail_next_command_buffers(1);
  release_held_command_buffers();
  for (int i = 0; i < 3; ++i) presenter->iterate(1.0 + i);
  EXPECT_EQ(lines_with("metal: command failed"), 1);
  EXPECT_TRUE(presenter->has_gpu());
}

TEST_F(MetalWorker, AClearThatKeepsFailingStopsBeingOwed) {
  start();
  fail_next_command_buffers(1000);
  cancel_and_clear_present_job(*job);
  PresentPost post;
  post.worker_play = true, post.count = 20, post.fps = 25, post.range = std::make_pair(int64_t{0}, int64_t{9});
  post.frames = std::make_shared<const std::vector<NeighbourFrame>>(std::vector<NeighbourFrame>{worker_entry(0)});
  post_present_job(*job, post, PresentRequest{}, 100);
  double now = 0.0;
  for (int i = 0; i < 40 && presenter->has_blit(); ++i, now += 16) presenter->iterate(now);
  for (int i = 0; i < 3; ++i, now += 16) presenter->iterate(now);
  EXPECT_LE(lines_with("metal: composition clear failed; retrying before new pixels"), 3);
  EXPECT_FALSE(presenter->has_blit());
  const std::vector<std::string> b = presented_backends();
  EXPECT_NE(std::find(b.begin(), b.end(), "metal-direct"), b.end());
  fail_next_command_buffers(0);
}

TEST_F(MetalWorker, AClearBeforeAPendingStillFrameIsSkipped) {
  start();
  {
    std::lock_guard lock(job->mutex);
    job->clear = true;
    job->explicit_frame = still(5);
  }
  const uint64_t draws = metal_ledger().draws;
  presenter->iterate(0.0);
  EXPECT_EQ(job->presented.load(), 1u);
  EXPECT_EQ(metal_ledger().draws - draws, 1u);  // the frame's draw, no clear pass
  EXPECT_EQ(layer->contents().width, 8u);
}

TEST_F(MetalWorker, PlaybackClockWrapsAndRestartsAtALateFrame) {
  start();
  std::vector<NeighbourFrame> all;
  for (int64_t i = 10; i <= 19; ++i) all.push_back(worker_entry(i));
  play(all, {10, 19}, 25.0);
  {
    std::lock_guard lock(job->mutex);
    job->seek = 10;
  }
  presenter->iterate(0.0);
  struct Step {
    double now;
    int64_t index;
  } steps[] = {{40.0, 11}, {360.0, 19}, {400.0, 10}};
  for (const Step& s : steps) {
    presenter->iterate(s.now);
    EXPECT_EQ(presenter->current_index(), s.index) << s.now;
  }
  EXPECT_EQ(read_presenter_result(*job)->second, 10);

  // Frames 10, 11 and 15 only; 10 shown, the clock due at 13: 11 is drawn
  // and the clock restarts from it.
  play({worker_entry(10), worker_entry(11), worker_entry(15)}, {10, 19}, 25.0);
  {
    std::lock_guard lock(job->mutex);
    job->seek = 10;
  }
  presenter->iterate(1000.0);
  EXPECT_EQ(presenter->current_index(), 10);
  presenter->iterate(1120.0);  // due 13
  EXPECT_EQ(presenter->current_index(), 11);
  presenter->iterate(1120.0 + 3 * 40.0);  // due 14 from the restart at 11
  EXPECT_EQ(presenter->current_index(), 11);
  presenter->iterate(1120.0 + 4 * 40.0);  // due 15
  EXPECT_EQ(presenter->current_index(), 15);
}

TEST_F(MetalWorker, SharedPixelsMoveTheIndexWithoutADraw) {
  start();
  NeighbourFrame a = worker_entry(3);
  NeighbourFrame b = a;
  b.frame = 4;
  play({a, b}, {3, 4}, 25.0);
  presenter->iterate(0.0);  // clock starts at index 0: nothing due in range yet → fallback none
  {
    std::lock_guard lock(job->mutex);
    job->seek = 3;
  }
  presenter->iterate(1.0);
  const uint64_t drawn = job->presented.load();
  (void)drain_present_telemetry();
  presenter->iterate(41.0);
  EXPECT_EQ(presenter->current_index(), 4);
  EXPECT_EQ(job->presented.load(), drawn);
  const auto records = drain_present_telemetry();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().kind, kEventClockReused);
  EXPECT_EQ(read_screen_index(*job), std::optional<int64_t>(4)) << "the frame on screen stood still with the pixels";
}

// A frame not drawn, its pixels those of a draw, is on screen with that
// draw, whether the draw got there before or after the frame fell due; a
// later draw's picture is its own frame.
TEST(MetalScreenIndex, AnUndrawnFrameIsOnScreenWithTheDrawItShares) {
  struct Case {
    const char* name;
    bool draw_first;
  };
  for (const Case c : {Case{"draw on screen first", true}, Case{"draw on screen later", false}}) {
    SCOPED_TRACE(c.name);
    PresentJob job;
    const uint64_t g = job.generation.load();
    if (c.draw_first) report_screen_index(job, g, 1, 10);
    EXPECT_EQ(read_screen_index(job), c.draw_first ? std::optional<int64_t>(10) : std::nullopt);
    report_undrawn_index(job, g, 1, 11);
    EXPECT_EQ(read_screen_index(job), c.draw_first ? std::optional<int64_t>(11) : std::nullopt);
    if (!c.draw_first) report_screen_index(job, g, 1, 10);
    EXPECT_EQ(read_screen_index(job), std::optional<int64_t>(11));
    report_screen_index(job, g, 2, 12);
    EXPECT_EQ(read_screen_index(job), std::optional<int64_t>(12));
  }
}

// Round a loop whose last frames are identical (one payload, as the cache
// keeps them) with a wake every frame: the index reaches every due frame
// across each OUT to IN wrap, identical frames move it without a draw, and
// only the frames not held fall due as missed, each once per loop.
TEST_F(MetalWorker, EveryWrapOfALoopWithIdenticalFramesShowsItsDueFrames) {
  struct Case {
    const char* name;
    std::vector<int64_t> missing;  // not among the frames held
    uint64_t missed_per_loop;
  } cases[] = {
      {"all held", {}, 0},
      {"an identical frame missing", {7}, 1},
      {"the first frames missing at the wrap", {0, 1}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    job = testing::small_view_job();
    start();
    const NeighbourFrame still_end = worker_entry(5);
    std::vector<NeighbourFrame> held;
    for (int64_t i = 0; i < 10; ++i) {
      if (std::find(c.missing.begin(), c.missing.end(), i) != c.missing.end()) continue;
      NeighbourFrame e = i >= 5 ? still_end : worker_entry(i);
      e.frame = i;
      held.push_back(e);
    }
    play(held, {0, 9}, 25.0);
    {
      std::lock_guard lock(job->mutex);
      job->seek = 2;
    }
    presenter->iterate(0.0);
    const uint64_t at_start = job->presented.load();
    (void)drain_present_telemetry();
    constexpr int kLoops = 3;
    uint64_t moves = 0;
    for (int k = 1; k <= kLoops * 10; ++k) {
      const int64_t before = presenter->current_index();
      presenter->iterate(40.0 * k + 1.0);
      const int64_t due = (2 + k) % 10;
      const bool held_due = std::find(c.missing.begin(), c.missing.end(), due) == c.missing.end();
      if (held_due) {
        EXPECT_EQ(presenter->current_index(), due) << "at " << k;
      }
      moves += presenter->current_index() != before;
    }
    uint64_t reused = 0, moved = 0;
    for (const PresentTelemetry& t : drain_present_telemetry()) {
      reused += t.kind == kEventClockReused;
      moved += t.kind == kEventClockMoved;
    }
    EXPECT_EQ(moved + reused, moves) << "every move reported";
    EXPECT_EQ(job->presented.load() - at_start, moved) << "a draw for each new surface only";
    EXPECT_GT(reused, 0u);
    EXPECT_EQ(moves + job->missed.load(), kLoops * 10u) << moves << " shown";
    EXPECT_EQ(job->missed.load(), kLoops * c.missed_per_loop);
    presenter.reset();
  }
}

TEST_F(MetalWorker, RefusedPlaybackDrawsLogDeferredAtOneSixtyAndOneTwenty) {
  MetalPresenterOptions o;
  o.perf = true;
  start(o);
  play({worker_entry(0), worker_entry(1)}, {0, 1}, 25.0);
  fail_next_creations(MetalCreation::next_drawable, 120);
  for (int i = 0; i < 120; ++i) presenter->iterate(static_cast<double>(i));
  EXPECT_EQ(presenter->deferred(), 120u);
  EXPECT_EQ(lines_with("PRESENT metal deferred="), 3);
  EXPECT_EQ(lines_with("PRESENT metal deferred=60"), 1);
  EXPECT_EQ(lines_with("PRESENT metal deferred=120"), 1);
}

TEST_F(MetalWorker, PressureShrinksTheCacheAndEndingReleasesEverything) {
  const MetalLedger before = metal_ledger();
  uint64_t pressure = 100;
  presenter = std::make_unique<MetalPresenter>(job, layer, MetalPresenterOptions{true, true, false, [&] { return pressure; },
                                                                                  [] { return std::optional<uint64_t>(uint64_t{1} << 20); }, {}});
  for (uint8_t i = 0; i < 3; ++i) {
    post_explicit_frame(*job, RgbaFrame{worker_entry(i, 128, 128).pixels, 0.0, 128, 128}, PresentRequest{});
    presenter->iterate(i);
  }
  EXPECT_EQ(presenter->cached_textures(), 3u);
  pressure = 1;  // a budget that holds one of them
  presenter->iterate(10.0);
  EXPECT_EQ(presenter->cached_textures(), 1u);
  EXPECT_GT(present_pixel_bytes().load(), bytes_before);
  presenter.reset();
  const MetalLedger after = metal_ledger();
  EXPECT_EQ(after.textures, before.textures);
  EXPECT_EQ(after.buffers, before.buffers);
  EXPECT_EQ(after.command_buffers, before.command_buffers);
  EXPECT_EQ(after.drawables, before.drawables);
}

// Play pressed on a frame outside the loop 60..99 (before it or after it):
// the worker enters the loop at its first frame and plays every frame from
// there; while that frame is not ready, the frames that fall due count as
// missed, from the first on.
TEST_F(MetalWorker, FromOutsideTheLoopPlaybackEntersAtItsFirstFrame) {
  for (const int64_t from : {0, 120}) {
    SCOPED_TRACE(from);
    job = testing::small_view_job();
    start();
    std::vector<NeighbourFrame> loop;
    for (int64_t i = 60; i <= 70; ++i) loop.push_back(worker_entry(i));
    play(loop, {60, 99}, 25.0);
    seek_to(from);
    presenter->iterate(0.0);
    EXPECT_EQ(presenter->current_index(), 60) << "within a frame of the play";
    for (int64_t k = 1; k <= 5; ++k) {
      presenter->iterate(40.0 * static_cast<double>(k));
      EXPECT_EQ(presenter->current_index(), 60 + k);
    }
    EXPECT_EQ(job->missed.load(), 0u);

    // Held: nothing of the loop is ready for 480 ms, then its first frames.
    job = testing::small_view_job();
    start();
    play({worker_entry(from)}, {60, 99}, 25.0);
    seek_to(from);
    for (int64_t k = 0; k <= 12; ++k) presenter->iterate(40.0 * static_cast<double>(k));
    EXPECT_EQ(presenter->current_index(), from);
    EXPECT_EQ(job->missed.load(), 12u) << "60 to 71 fell due and were not shown";
    play(loop, {60, 99}, 25.0);
    presenter->iterate(13 * 40.0);
    EXPECT_EQ(presenter->current_index(), 70) << "the latest ready frame";
    EXPECT_EQ(job->missed.load(), 13u) << "72 ended unseen too; none counted twice";
    presenter.reset();
  }
}

// Playback restarted in place (a purge) while the due frames are made
// again, an older one already back in the cache: the picture on screen stays
// until a frame at or past it is ready, and a view with nothing on it yet is
// filled with the older frame rather than left empty.
TEST_F(MetalWorker, AnOlderFrameNeverReplacesThePictureOnScreen) {
  std::vector<NeighbourFrame> all;
  for (int64_t i = 0; i < 100; ++i) all.push_back(worker_entry(i));
  struct Case {
    const char* name;
    bool picture_on_screen;
    std::optional<int64_t> older_drawn;
  } cases[] = {{"a picture on screen", true, std::nullopt}, {"nothing on screen yet", false, 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    job = testing::small_view_job();
    start();
    if (c.picture_on_screen) {
      play(all, {0, 99}, 25.0);
      seek_to(0);
      for (int k = 0; k <= 20; ++k) presenter->iterate(40.0 * k);
      ASSERT_EQ(read_screen_index(*job), std::optional<int64_t>(20));
      PresentPost stop;
      stop.count = 100;
      stop.range = std::make_pair(int64_t{0}, int64_t{99});
      stop.fps = 25.0;
      stop.frames = std::make_shared<const std::vector<NeighbourFrame>>();
      ASSERT_EQ(post_playback_stop(*job, stop, PresentRequest{1.0, 7, 3}, 100), std::optional<int64_t>(20));
      presenter->iterate(40.0 * 20 + 5.0);
    }
    const uint64_t drawn = job->presented.load();
    play({all[5]}, {0, 99}, 25.0);
    seek_to(20);
    for (int k = 21; k <= 24; ++k) presenter->iterate(40.0 * k);
    EXPECT_EQ(job->presented.load() - drawn, c.older_drawn ? 1u : 0u);
    EXPECT_EQ(presenter->current_index(), 20) << "the clock does not follow a frame behind it";
    if (c.older_drawn) {
      EXPECT_EQ(read_screen_index(*job), c.older_drawn);
    } else {
      EXPECT_NE(read_screen_index(*job), std::optional<int64_t>(5));
    }

    play({all[5], all[25], all[26]}, {0, 99}, 25.0);
    presenter->iterate(40.0 * 26 + 5.0);  // 25 due on the clock started at 21's wake
    EXPECT_EQ(read_screen_index(*job), std::optional<int64_t>(25)) << "playback goes on once its frames are back";
    presenter.reset();
  }
}

// IN set on the frame on screen while playing: the worker goes on with the
// frame after it, not one a whole run of frames further.
TEST_F(MetalWorker, NewLoopBoundsGoOnFromTheFrameOnScreen) {
  start();
  std::vector<NeighbourFrame> all;
  for (int64_t i = 0; i < 100; ++i) all.push_back(worker_entry(i));
  play(all, {0, 99}, 25.0);
  seek_to(0);
  for (int k = 0; k <= 30; ++k) presenter->iterate(40.0 * k);
  ASSERT_EQ(presenter->current_index(), 30);
  play(all, {30, 99}, 25.0);
  presenter->iterate(40.0 * 30 + 10.0);
  EXPECT_EQ(presenter->current_index(), 30);
  presenter->iterate(40.0 * 31 + 10.0);
  EXPECT_EQ(presenter->current_index(), 31);
  EXPECT_EQ(job->missed.load(), 0u);
}

// Whatever the worker's wakes, the frames it holds and the drawables it
// gets, every frame that falls due while it plays is drawn or counted as
// missed once its period has ended, or is the one frame a refused draw
// still holds, or the due one whose period still runs (or a stop cut short). Frames are 40 ms
// apart (25 fps) from a seek to frame 0 at 0 ms; a step's frames are the
// ones the worker holds from then on.
TEST_F(MetalWorker, EveryFrameDueWhilePlayingIsDrawnOrMissed) {
  struct Step {
    double now;
    std::vector<int64_t> frames;  // a new post with these frames first; none: the last post stands
    bool stop = false;            // the post ends playback
    uint64_t refused = 0;         // drawables refused from here on
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    uint64_t due, undecided;
  } cases[] = {
      {"a wake every frame", {{40, {}}, {80, {}}, {120, {}}, {160, {}}}, 4, 0},
      {"late wakes step over frames", {{40, {}}, {200, {}}, {400, {}}}, 10, 0},
      {"stopped between wakes", {{40, {}}, {80, {}}, {200, {}, true}}, 5, 1},
      {"shown behind the due frame, then missed again",
       {{200, {0, 1}}, {240, {}}, {280, {}}, {320, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}},
       8,
       0},
      {"restarts a fraction past the due frame",
       {{230, {0, 1}}, {270, {}}, {350, {0, 1, 2, 3}}, {390, {}}, {470, {0, 1, 2, 3, 4, 5}}, {590, {}}},
       14,
       1},
      {"ready late in their own periods",
       {{50, {0}}, {70, {0, 1}}, {90, {0, 1}}, {110, {0, 1, 2}}, {160, {0, 1, 2, 3}}},
       4,
       0},
      {"no drawable for a while", {{40, {}}, {80, {}, false, 5}, {120, {}}, {200, {}}, {280, {}}, {400, {}}}, 10, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset_metal_faults();
    job = testing::small_view_job();
    start();
    std::vector<NeighbourFrame> all;
    for (int64_t i = 0; i < 100; ++i) all.push_back(worker_entry(i));
    play(all, {0, 99}, 25.0);
    seek_to(0);
    presenter->iterate(0.0);
    const uint64_t at_start = job->presented.load();  // the seek frame drawn again, not a frame due
    for (const Step& step : c.steps) {
      if (step.refused) fail_next_creations(MetalCreation::next_drawable, step.refused);
      std::vector<NeighbourFrame> held;
      for (int64_t i : step.frames) held.push_back(all[static_cast<size_t>(i)]);  // the same pixels as before
      if (step.stop) {
        PresentPost post;
        post.count = 100;
        post.range = std::make_pair(int64_t{0}, int64_t{99});
        post.fps = 25.0;
        post.frames = std::make_shared<const std::vector<NeighbourFrame>>(all);
        post_present_job(*job, post, PresentRequest{1.0, 7, 3}, 100);
      } else if (!step.frames.empty()) {
        play(held, {0, 99}, 25.0);
      }
      presenter->iterate(step.now);
    }
    const uint64_t drawn = job->presented.load() - at_start;
    EXPECT_EQ(drawn + job->missed.load() + c.undecided, c.due) << drawn << " drawn, " << job->missed.load() << " missed";
    presenter.reset();
  }
}

}  // namespace
}  // namespace vel

namespace vel {
namespace {

// The worker on its own thread, command buffers ended on the device's
// thread, and the screen read from this one: the three meet only through
// the job, the command buffers' status and the layer's lock.
TEST(MetalWorkerThread, PresentsPostedFramesAndEndsOnStop) {
  using namespace platform;
  reset_metal_faults();
  set_metal_completion(MetalCompletion::device_thread);
  const MetalLedger before = metal_ledger();
  auto layer = CAMetalLayer::layer();
  layer->setDevice(MTLCreateSystemDefaultDevice());
  layer->setFramebufferOnly(false);
  auto job = std::make_shared<PresentJob>();
  job->view_width = 16;
  job->view_height = 8;
  std::thread worker(metal_present_worker_loop, job, layer, MetalPresenterOptions{});
  for (uint64_t i = 1; i <= 5; ++i) {
    post_explicit_frame(*job, still(static_cast<uint8_t>(i)), PresentRequest{});
    ASSERT_TRUE(layer->waitForPresentCount(i));
    EXPECT_EQ(layer->contents().width, 16u);
  }
  stop_present_job(*job);
  worker.join();
  wait_metal_device_idle();
  const MetalLedger after = metal_ledger();
  EXPECT_EQ(after.textures, before.textures);
  EXPECT_EQ(after.command_buffers, before.command_buffers);
  EXPECT_EQ(after.drawables, before.drawables);
  EXPECT_TRUE(metal_misuse_record().empty());
  reset_metal_faults();
}

}  // namespace
}  // namespace vel
