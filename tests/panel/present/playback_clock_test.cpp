#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "cache/frame_cache_ops.h"
#include "panel/present/playback_clock.h"
#include "panel/present/present_request.h"
#include "panel/present/present_telemetry.h"

namespace vel {
namespace {

constexpr uint64_t kSecond = 1'000'000'000;

// A composition of `frames` frames of fv / fs seconds, cached in full (or
// the listed frames only), with a panel that confirms what it is handed at
// once (or keeps it, when `confirm` is off).
struct ClockRig {
  FrameCache cache;
  PlaybackClock clock;
  ClockInputs in;
  std::vector<int64_t> handed;  // frame indexes handed to the panel
  bool confirm = true;
  uint64_t t0 = 1000 * kSecond;

  ClockRig(int32_t fv, uint32_t fs, int64_t frames, std::vector<int64_t> cached = {}) {
    cache.budget_bytes = uint64_t{1} << 40;
    cache.reserve_bytes = 0;
    in.timing = CompFrameTiming{fv, fs, static_cast<int32_t>(frames * fv), fs};
    in.frame_batch_limit = 240;
    if (cached.empty()) {
      for (int64_t i = 0; i < frames; ++i) cached.push_back(i);
    }
    for (int64_t i : cached) {
      const FrameKey key{static_cast<int32_t>(i * fv), fs};
      RgbaFrame f{PixelPayload::adopt(std::vector<uint8_t>(4, static_cast<uint8_t>(i))), 0.0, 1, 1};
      EXPECT_TRUE(cache_rendered_frame(cache, key, std::move(f)));
    }
    clock.shown_time = FrameKey{0, fs};
    begin_present_request(99, false, 0.0);
  }

  void set_now(double frames) {
    const double seconds = frames * in.timing.frame_value / in.timing.frame_scale;
    in.now_ns = t0 + static_cast<uint64_t>(std::llround(seconds * 1e9));
  }
  // One step at `frames` frame durations after t0.
  bool step_at(double frames) {
    set_now(frames);
    return advance_playback_clock(clock, cache, in, [this](const RgbaFrame& f, FrameKey) {
      handed.push_back(std::llround(f.time * in.timing.frame_scale / in.timing.frame_value));
      if (confirm) {
        PresentEvent ev;
        ev.backend = "appkit";
        ev.request = read_present_request();
        record_present_event(f, ev);
      }
      return true;
    });
  }
  int64_t shown_index() const { return clock.shown_time->value / in.timing.frame_value; }
};

TEST(PlaybackClock, FirstStepOnlyAnchors) {
  ClockRig rig(1, 30, 300);
  EXPECT_FALSE(rig.step_at(0));
  EXPECT_TRUE(rig.clock.anchor_ns);
  EXPECT_TRUE(rig.handed.empty());
}

TEST(PlaybackClock, WaitsForTheConfirmationHoweverLong) {
  ClockRig rig(1, 30, 300);
  rig.confirm = false;
  rig.step_at(0);
  rig.step_at(1.5);
  ASSERT_EQ(rig.handed.size(), 1u);
  for (double f : {5.5, 50.5, 5000.5}) EXPECT_FALSE(rig.step_at(f));
  EXPECT_EQ(rig.handed.size(), 1u) << "nothing new while unconfirmed";
  EXPECT_EQ(rig.shown_index(), 0);
}

TEST(PlaybackClock, MissingFramesShowTheLatestReadyAndRestartTheTimeBase) {
  ClockRig rig(1, 30, 10, {0, 1, 2, 3, 4});
  rig.step_at(0);
  rig.step_at(8.5);
  ASSERT_EQ(rig.handed, (std::vector<int64_t>{4}));
  EXPECT_EQ(rig.clock.anchor_index, 4);
  EXPECT_EQ(rig.clock.anchor_ns, rig.t0 + 8 * kSecond / 30) << "from when frame 8 fell due";
  EXPECT_TRUE(rig.step_at(8.6));
  EXPECT_EQ(rig.shown_index(), 4);
  EXPECT_EQ(rig.clock.missed, 7u) << "1 to 3 were stepped over, 5 to 8 fell due and were not ready";
}

// A stall counts each frame that falls due once, however many ticks it
// lasts; frames a late tick steps over count too; frames that are ready and
// shown count nothing.
TEST(PlaybackClock, MissedFramesCountOncePerFrameThatFellDue) {
  struct Case {
    const char* name;
    std::vector<int64_t> cached;
    std::vector<double> steps;
    uint64_t missed;
  } cases[] = {
      {"all ready", {}, {0, 1.5, 1.6, 2.5, 2.6, 3.5}, 0},
      {"stalled at 2: 3 ended unseen, 4 still has time", {0, 1, 2}, {0, 1.5, 1.6, 2.5, 2.6, 3.1, 3.2, 3.3, 4.5}, 1},
      {"the shown frame due again is no miss", {0}, {0, 0.5, 0.6, 0.7}, 0},
      {"a late tick steps over 2 and 3", {}, {0, 1.5, 1.6, 4.5, 4.6, 5.5}, 2},
      {"stepped over round the loop end", {}, {0, 8.5, 8.6, 11.5}, 7 + 2},
  };
  for (const Case& c : cases) {
    ClockRig rig(1, 30, 10, c.cached);
    for (double f : c.steps) rig.step_at(f);
    EXPECT_EQ(rig.clock.missed, c.missed) << c.name;
  }
}

// However the ticks fall and whenever frames become ready, every frame
// period of the run is handed to the panel or counted as missed, once: a
// restart behind the due frame loses no time, and the frames after the one
// it shows fall due again and count again when they are missed again. A
// frame that gets ready late in its own period is shown, not missed; the
// period still running at the end is undecided.
TEST(PlaybackClock, EveryFramePeriodIsHandedOverOrMissed) {
  struct Step {
    double at;                   // frame durations after t0
    std::vector<int64_t> ready;  // frames cached just before the step
  };
  struct Case {
    const char* name;
    std::vector<int64_t> cached;
    std::vector<Step> steps;
    uint64_t undecided = 0;  // the due frame's period still running, unseen
  } cases[] = {
      {"all ready", {}, {{0.0, {}}, {1.5, {}}, {2.5, {}}, {3.5, {}}, {4.5, {}}}},
      {"late ticks", {}, {{0.0, {}}, {1.5, {}}, {4.5, {}}, {9.5, {}}, {10.5, {}}}},
      {"ready late in their own periods",
       {0},
       {{0.0, {}}, {1.2, {}}, {1.5, {1}}, {1.6, {}}, {2.2, {}}, {2.5, {2}}, {2.6, {}}, {3.5, {3}}}},
      {"shown behind the due frame, then missed again",
       {0, 1, 2, 3, 4},
       {{0.0, {}}, {8.5, {}}, {8.6, {}}, {9.5, {}}, {10.5, {}}, {11.5, {}}, {12.5, {5, 6, 7, 8, 9, 10}}, {13.5, {}}}},
      {"restarts a fraction past the due frame",
       {0, 1},
       {{0.0, {}}, {3.9, {}}, {3.95, {2, 3}}, {6.8, {}}, {6.85, {4, 5}}, {9.7, {}}, {9.75, {}}, {11.2, {}}},
       1},
  };
  for (const Case& c : cases) {
    ClockRig rig(1, 30, 60, c.cached);
    for (const Step& step : c.steps) {
      for (int64_t i : step.ready) {
        RgbaFrame f{PixelPayload::adopt(std::vector<uint8_t>(4, static_cast<uint8_t>(i))), 0.0, 1, 1};
        ASSERT_TRUE(cache_rendered_frame(rig.cache, FrameKey{static_cast<int32_t>(i), 30}, std::move(f)));
      }
      rig.step_at(step.at);
    }
    const auto due = static_cast<uint64_t>(std::floor(c.steps.back().at));
    EXPECT_EQ(rig.handed.size() + rig.clock.missed + c.undecided, due)
        << c.name << ": " << rig.handed.size() << " handed over, " << rig.clock.missed << " missed";
    // A pause between two ticks: the frames whose periods ended since the
    // last one were not shown either; the one due at the pause was cut short.
    const double pause = c.steps.back().at + 2.6;
    rig.set_now(pause);
    count_missed_before_stop(rig.clock, rig.in);
    EXPECT_EQ(rig.handed.size() + rig.clock.missed + 1, static_cast<uint64_t>(std::floor(pause)))
        << c.name << " paused: " << rig.handed.size() << " handed over, " << rig.clock.missed << " missed";
  }
}

// Sequences of counts over the loop 0..9, each call (from, to, the frame
// going on screen) after the ones before it with the same marks: a frame
// counts once each time it falls due and is not shown, round after round.
TEST(MissedFrames, EachFrameCountsOnceEachTimeItFallsDue) {
  struct Call {
    int64_t from, to;
    std::optional<int64_t> shown;
    uint64_t missed;
  };
  struct Case {
    const char* name;
    std::vector<Call> calls;
  } cases[] = {
      {"a stall counts the due frame once", {{6, 7, 6, 1}, {6, 7, 6, 0}, {6, 7, std::nullopt, 0}, {6, 8, 8, 0}}},
      {"the same hole missed round after round",
       {{6, 7, 6, 1}, {6, 8, 8, 0}, {8, 9, 9, 0}, {9, 0, 0, 0}, {0, 1, 1, 0}, {1, 2, 2, 0}, {2, 3, 3, 0},
        {3, 4, 4, 0}, {4, 5, 5, 0}, {5, 6, 6, 0}, {6, 7, 6, 1}, {6, 8, 8, 0}}},
      {"a late wake past half the loop, then one more frame", {{0, 7, std::nullopt, 7}, {0, 8, std::nullopt, 1}, {0, 9, 9, 0}}},
      {"the picture passes what was counted", {{0, 3, 3, 2}, {3, 5, 5, 1}, {5, 8, std::nullopt, 3}, {7, 9, 9, 0}, {9, 1, std::nullopt, 2}}},
      {"round the loop's end", {{8, 1, 1, 2}, {1, 2, 2, 0}}},
      {"due outside the loop counts once", {{2, 12, std::nullopt, 1}, {2, 12, std::nullopt, 0}}},
      {"a picture outside the loop waits for its first frame",
       {{12, 3, std::nullopt, 4}, {12, 3, std::nullopt, 0}, {12, 5, std::nullopt, 2}, {12, 8, 8, 2}}},
  };
  for (const Case& c : cases) {
    MissedMarks marks;
    for (size_t i = 0; i < c.calls.size(); ++i) {
      const Call& k = c.calls[i];
      EXPECT_EQ(count_missed_frames(marks, k.from, k.to, 0, 9, k.shown), k.missed) << c.name << ", call " << i;
    }
  }
}

// A composition of 1/4294967295 s frames: one late wake steps over billions
// of frames, counted at once (a walk over them kept the thread for minutes).
TEST(MissedFrames, BillionsOfFramesAtOnce) {
  const int64_t last = (int64_t{1} << 62) - 1;
  MissedMarks marks;
  EXPECT_EQ(count_missed_frames(marks, 0, last / 2, 0, last, last / 2), uint64_t(last / 2 - 1));
  EXPECT_EQ(count_missed_frames(marks, 0, last / 2, 0, last, last / 2), 0u) << "counted once";

  FrameCache cache;
  cache.budget_bytes = uint64_t{1} << 30;
  PlaybackClock clock;
  ClockInputs in;
  in.timing = CompFrameTiming{1, 4294967295u, 10, 1};  // 42949672950 frames
  in.frame_batch_limit = 240;
  clock.shown_time = FrameKey{0, 4294967295u};
  begin_present_request(99, false, 0.0);
  in.now_ns = 1000 * kSecond;
  advance_playback_clock(clock, cache, in, nullptr);
  in.now_ns += 3 * kSecond;
  advance_playback_clock(clock, cache, in, nullptr);
  EXPECT_EQ(clock.missed, uint64_t{3} * 4294967295u - 1) << "every frame whose time ended in 3 s, none shown";
}

TEST(PlaybackClock, LoopsOverTheWorkArea) {
  ClockRig rig(1, 30, 300);
  rig.in.work_first = 10;
  rig.in.work_last = 19;
  rig.clock.shown_time = FrameKey{10, 30};
  rig.step_at(0);
  rig.step_at(11.5);  // position 21 wraps to 11
  EXPECT_EQ(rig.handed, (std::vector<int64_t>{11}));
}

// Play pressed on a frame outside the work area 60..179 of 240 frames at 24
// per second: the first frame handed over is IN's, within a frame of the
// play, and every frame after it follows; held while IN is not ready, each
// frame that falls due counts as missed, late ticks included.
TEST(PlaybackClock, FromOutsideTheWorkAreaPlaybackStartsAtIn) {
  for (const int64_t from : {0, 230}) {
    SCOPED_TRACE(from);
    ClockRig rig(1, 24, 240);
    rig.in.work_first = 60;
    rig.in.work_last = 179;
    rig.clock.shown_time = FrameKey{static_cast<int32_t>(from), 24};
    rig.step_at(0);
    for (int k = 0; k < 6; ++k) rig.step_at(k + 0.5);
    EXPECT_EQ(rig.handed, (std::vector<int64_t>{60, 61, 62, 63, 64, 65}));
    EXPECT_EQ(rig.clock.missed, 0u);

    std::vector<int64_t> before;
    for (int64_t i = 0; i < 60; ++i) before.push_back(i);
    ClockRig held(1, 24, 240, before);
    held.in.work_first = 60;
    held.in.work_last = 179;
    held.clock.shown_time = FrameKey{static_cast<int32_t>(from), 24};
    for (double at : {0.0, 0.5, 1.5, 10.5, 11.5}) held.step_at(at);
    EXPECT_TRUE(held.handed.empty());
    EXPECT_EQ(held.clock.missed, 11u) << "60 to 70 fell due and were not shown";
  }
}

// IN set on the frame on screen while playing: the next frame is the one
// after it, not one a whole run of frames further.
TEST(PlaybackClock, NewLoopBoundsGoOnFromTheFrameOnScreen) {
  ClockRig rig(1, 24, 240);
  rig.step_at(0);
  for (int k = 0; k < 30; ++k) rig.step_at(k + 0.5);
  ASSERT_EQ(rig.shown_index(), 28);
  ASSERT_EQ(rig.handed.back(), 29);
  rig.in.work_first = 28;
  rig.handed.clear();
  for (double at : {29.6, 30.1, 30.7, 31.7}) rig.step_at(at);
  EXPECT_EQ(rig.handed, (std::vector<int64_t>{30, 31}));
  EXPECT_EQ(rig.clock.missed, 0u);
}

TEST(PlaybackClock, NoClockForOneFrameOrAnInexactScale) {
  ClockRig one(1, 30, 1);
  EXPECT_FALSE(one.step_at(0));
  EXPECT_FALSE(one.clock.anchor_ns);
  ClockRig ntsc(1001, 30000, 100);
  ntsc.clock.shown_time = FrameKey{0, 24};  // 1001 × 24 / 30000 is not whole
  EXPECT_FALSE(ntsc.step_at(0));
  EXPECT_FALSE(ntsc.clock.anchor_ns);
}

TEST(PlaybackClock, LoopBounds) {
  struct Case {
    int64_t first, last, count, lo, hi;
  } cases[] = {{-1, -1, 100, 0, 99}, {10, 19, 100, 10, 19}, {5, -1, 100, 5, 99},
               {-1, 20, 100, 0, 20}, {150, 200, 100, 99, 99}, {30, 10, 100, 30, 30}};
  for (const Case& c : cases) {
    EXPECT_EQ(playback_loop_bounds(c.first, c.last, c.count), std::make_pair(c.lo, c.hi)) << c.first << ".." << c.last;
  }
}

// A whole minute at each rate: one new frame per tick, never a stall. At
// 25 fps the time of frame 29 reads 28.999999999999996 frames; a truncating
// match froze playback there.
TEST(PlaybackClock, AMinuteAtCommonRatesWithoutAStall) {
  struct Rate {
    int32_t fv;
    uint32_t fs;
    int64_t frames;
  } rates[] = {{1, 24, 1440}, {1, 25, 1500}, {1001, 30000, 1798}, {1, 60, 3600}};
  for (const Rate& r : rates) {
    ClockRig rig(r.fv, r.fs, r.frames);
    rig.step_at(0);
    int64_t moves = 0, idle_run = 0, worst_idle = 0;
    for (int64_t k = 1; k <= r.frames + 10; ++k) {
      if (rig.step_at(static_cast<double>(k) + 0.5)) {
        ++moves;
        idle_run = 0;
      } else {
        worst_idle = std::max(worst_idle, ++idle_run);
      }
    }
    EXPECT_LE(worst_idle, 2) << r.fs << "/" << r.fv;
    EXPECT_GE(moves, r.frames) << r.fs << "/" << r.fv << " stopped at " << rig.shown_index();
  }
}

TEST(PlaybackClock, PauseSettlesOnTheConfirmedFrame) {
  ClockRig rig(1, 30, 300);
  rig.step_at(0);
  rig.step_at(3.5);
  ASSERT_TRUE(rig.clock.awaiting);
  int invalidations = 0;
  ModeContext ctx{false, true, rig.in.timing, [&] { ++invalidations; }};
  set_playback_mode(rig.clock, PlaybackMode::PlayToggle, true, ctx);
  EXPECT_TRUE(rig.clock.paused);
  EXPECT_FALSE(rig.clock.playing);
  EXPECT_EQ(rig.shown_index(), 3) << "the confirmed frame stays on screen";
  EXPECT_EQ(rig.clock.saved_shown_time, rig.clock.shown_time);
  EXPECT_EQ(invalidations, 1);
  EXPECT_FALSE(rig.clock.awaiting);
  EXPECT_FALSE(rig.clock.anchor_ns);

  set_playback_mode(rig.clock, PlaybackMode::PlayToggle, true, ctx);
  set_playback_mode(rig.clock, PlaybackMode::Hold, false, ctx);
  EXPECT_FALSE(rig.clock.playing);
  set_playback_mode(rig.clock, PlaybackMode::Release, false, ctx);
  EXPECT_TRUE(rig.clock.playing);
  ctx.block = true;
  set_playback_mode(rig.clock, PlaybackMode::Release, false, ctx);
  EXPECT_FALSE(rig.clock.playing);
  EXPECT_EQ(invalidations, 1) << "only a pause with a frame in flight settles";
}

TEST(FrameTiming, CountsAndExactScales) {
  EXPECT_EQ(comp_frame_count(1, 30, 10, 1), 300u);
  EXPECT_EQ(comp_frame_count(1001, 30000, 60, 1), 1799u);
  EXPECT_EQ(comp_frame_count(1, 30, -1, 1), std::nullopt);
  EXPECT_EQ(comp_frame_count(1, 30, 1, 0), std::nullopt);
  EXPECT_TRUE(is_exact_in_scale(1, 24, 30000));
  EXPECT_FALSE(is_exact_in_scale(1001, 30000, 24));
  EXPECT_FALSE(is_exact_in_scale(1, 24, 0));
  EXPECT_EQ(nearest_frame_index(29.0 / 25.0, 1, 25), 29);
}

}  // namespace
}  // namespace vel
