// The picture is the frame the panel acts on, on both present paths with
// the default switches: after a click or a drag back to a frame shown before,
// through frames whose pixels stand still, with a key pressed with play,
// across pauses at 120 frames a second, and after a resize of the paused
// panel. The frame on screen is read from a white bar that moves 7
// composition pixels per frame. Each run fills the RAM cache while paused
// (renders of 10 ms) before its first gesture, so no store is filled
// beforehand; every wait follows what the run shows.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "plugin/frame_bar.h"
#include "plugin/paused_opening.h"
#include "plugin/scenario_steps.h"
#include "plugin/summary_marks.h"
#include "support/child_process.h"
#include "support/sanitized_build.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::find_mark;
using testing::frame_on_screen;
using testing::kSanitized;
using testing::read_text;
using testing::after_frames;
using testing::event;
using testing::now;
using testing::work_area_lines;

constexpr int kBarFrames = 240;
constexpr const char* kSweepDone = "S2 zone de travail en cache";

struct BarPath {
  const char* name;
  bool no_gpu;
};
constexpr BarPath kBarPaths[] = {{"cpu", true}, {"metal", false}};

// Strip positions (window points) of a panel 960 points wide at scale 1.
int strip_x(int frame) { return static_cast<int>(std::lround(4.5 + 954.0 * (frame + 0.3) / kBarFrames)); }

json shot(const std::string& png) { return now("screenshot", {{"path", png}}); }
json click_strip(int frame) { return now("click", {{"x", strip_x(frame)}, {"y", 32}}); }

class PicturePlayhead : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    scratch_ = new testing::ScratchDir("vel-picture");
    ASSERT_TRUE(scratch_->ok());
    ASSERT_TRUE(testing::write_sample_with_bar(fs::path(VEL_DEMO_DIR) / "sample.aep", project("bar"), kBarFrames, 10));
  }
  static void TearDownTestSuite() {
    if (getenv("KEEP")) return;
    delete scratch_;
    scratch_ = nullptr;
  }

  static fs::path root() { return scratch_->path(); }
  static fs::path project(const std::string& name) { return root() / (name + ".aep"); }
  static std::string log_of(const fs::path& home) { return (home / "Library" / "Logs" / "velocinta.log").string(); }

  // The bar project changed by `edit` (its composition, the bar's layer).
  template <typename Edit>
  static fs::path variant(const std::string& name, Edit edit) {
    json doc = json::parse(read_text(project("bar")));
    json& comp = doc["compositions"][0];
    edit(comp, comp["layers"][0]);
    std::ofstream(project(name)) << doc.dump();
    return project(name);
  }

  // The bar project at 120 frames a second, its work area `count` frames
  // from `first`.
  static fs::path at_120(const std::string& name, int first, int count) {
    return variant(name, [&](json& comp, json& bar) {
      comp["frame_duration"] = {1, 120};
      comp["duration"] = {kBarFrames, 120};
      comp["work_area"] = {{"start", {first, 120}}, {"duration", {count, 120}}};
      for (json& key : bar["transform"]["position"]["keyframes"]) key["time"][1] = 120;
    });
  }

  // Opens the panel at 960 × 540 points, paused before the first picture,
  // waits until the whole work area is cached, then runs `events` in a
  // fresh home; the summary.
  static json run(const std::string& name, const BarPath& path, const fs::path& aep, const json& events,
                  int scale = 1) {
    const fs::path home = root() / ("home-" + name), out = root() / name;
    json all = json::array({event(nullptr, "open_panel", {{"width", 960}, {"height", 540}, {"scale", scale}})});
    for (const json& e : testing::pause_before_first_picture(log_of(home))) all.push_back(e);
    all.push_back(event({{"file", log_of(home)}, {"has", kSweepDone}}, "wait"));
    for (const json& e : events) all.push_back(e);
    all.push_back(now("quit"));
    const json s = testing::run_scenario(name, home, out, aep, all, path.no_gpu);
    if (!s.contains("scenario_failures")) return s;  // no summary: failed already
    EXPECT_TRUE(s.value("quit", false)) << name << ": still waiting for " << s.value("still_waiting", "");
    return s;
  }

  // The frame a screenshot of run `name` shows; NaN without the bar.
  static double frame_in(const std::string& name, const json& summary, const std::string& png, int scale = 1) {
    if (!summary.at("panel").contains("picture_rect")) return NAN;
    json rect = summary.at("panel").at("picture_rect");
    for (json& v : rect) v = v.get<double>() * scale;
    return frame_on_screen(root() / name / png, rect).value_or(NAN);
  }

  static testing::ScratchDir* scratch_;
};

testing::ScratchDir* PicturePlayhead::scratch_ = nullptr;

json settled_on(const BarPath& path, const std::string& png) { return testing::settled_picture(path.no_gpu, png); }

// The picture of a pause once it settled. The CPU path keeps the frame on
// screen as it is; the Metal worker's draws in flight land after the pause,
// and the paused frame is drawn again over them.
json pause_settled(const BarPath& path, const std::string& png) {
  if (path.no_gpu) return json::array({event("text:\xE2\x96\xB6", "screenshot", {{"path", png}})});
  return settled_on(path, png);
}

// Playing, five drags on the picture to its left edge (frame 0, the host's
// time, the frame shown first) and three strip clicks back to frame 125,
// shown before the play: each time the picture is the frame asked for.
// Then, paused by the button and a click at 125, play and "i" in the same
// moment mark 125, the frame on screen, not the frame of the pause.
TEST_F(PicturePlayhead, ClicksAndDragsBackShowTheFrameAskedForAndTheKeyWithPlayMarksIt) {
  constexpr int kDrags = 5, kClicks = 3;
  for (const BarPath& path : kBarPaths) {
    const std::string name = std::string("back-") + path.name;
    SCOPED_TRACE(name);
    json events = json::array();
    auto add = [&](const json& more) { events.insert(events.end(), more.begin(), more.end()); };
    for (int i = 0; i < kDrags; ++i) {
      add({now("play"), event(after_frames(4), "screenshot", {{"path", "drag-from-" + std::to_string(i) + ".png"}}),
           now("drag", {{"x", 480}, {"y", 300}, {"to_x", 0}, {"to_y", 300}, {"steps", 4}})});
      add(settled_on(path, "drag-" + std::to_string(i) + ".png"));
    }
    events.push_back(click_strip(125));
    add(settled_on(path, "at-125.png"));
    for (int i = 0; i < kClicks; ++i) {
      add({now("play"), event(after_frames(6), "screenshot", {{"path", "click-from-" + std::to_string(i) + ".png"}}),
           click_strip(125)});
      add(settled_on(path, "click-" + std::to_string(i) + ".png"));
    }
    add({now("play"), event(after_frames(6), "pause")});
    add(pause_settled(path, "paused.png"));
    events.push_back(click_strip(125));
    add(settled_on(path, "with-play.png"));
    add({now("play"), now("key", {{"chars", "i"}})});
    events.push_back(event({{"file", log_of(root() / ("home-" + name))}, {"has", "workarea: IN"}}, "wait"));
    const json s = run(name, path, project("bar"), events);

    for (int i = 0; i < kDrags; ++i) {
      const double from = frame_in(name, s, "drag-from-" + std::to_string(i) + ".png");
      const double to = frame_in(name, s, "drag-" + std::to_string(i) + ".png");
      std::cout << name << ": drag to frame 0 from " << from << ": " << to << " on screen\n";
      EXPECT_NEAR(to, 0.0, 0.5) << "drag " << i << " from " << from;
    }
    EXPECT_NEAR(frame_in(name, s, "at-125.png"), 125.0, 0.5);
    for (int i = 0; i < kClicks; ++i) {
      const double from = frame_in(name, s, "click-from-" + std::to_string(i) + ".png");
      const double to = frame_in(name, s, "click-" + std::to_string(i) + ".png");
      std::cout << name << ": click back to 125 from " << from << ": " << to << " on screen\n";
      EXPECT_NEAR(to, 125.0, 0.5) << "round " << i << " from " << from;
    }
    const double paused = frame_in(name, s, "paused.png"), shown = frame_in(name, s, "with-play.png");
    const auto lines = work_area_lines(read_text(log_of(root() / ("home-" + name))));
    if (lines.size() != 1u) {
      ADD_FAILURE() << lines.size() << " work-area changes";
      continue;
    }
    std::cout << name << ": paused on " << paused << ", clicked 125 (" << shown << " on screen), play + i: IN "
              << lines[0].first << "\n";
    EXPECT_NEAR(shown, 125.0, 0.5);
    EXPECT_EQ(lines[0].first, 125) << "the pause was on " << paused;
  }
}

// A composition whose bar stands still from frame 120 on: playing from 110,
// "i" and then "o" 1.5 s later mark frames at least half as far apart as the
// frames played between the two keys at 24 a second (a loaded machine may
// let the picture fall behind at "i"), never one frame, and none past the
// time played.
TEST_F(PicturePlayhead, KeysThroughStillFramesMarkTheFramesTheClockShows) {
  const fs::path still = variant("still", [](json& comp, json& bar) {
    json& keys = bar["transform"]["position"]["keyframes"];
    const json stop = {testing::kBarStart + testing::kBarStep * 120, 540};
    keys[1]["time"] = {120, 24};
    keys[1]["value"] = stop;
    keys.push_back({{"time", {kBarFrames, 24}}, {"value", stop}, {"interp", "linear"}});
    // The bar on the backdrop alone: nothing else moves.
    comp["layers"] = json::array({json(bar), comp["layers"].back()});
  });
  constexpr int kFrom = 110;
  for (const BarPath& path : kBarPaths) {
    const std::string name = std::string("still-") + path.name;
    SCOPED_TRACE(name);
    const json events = {click_strip(kFrom),
                         event(after_frames(1), "play"),
                         now("mark", {{"name", "play"}}),
                         event(after_frames(2), "wait"),
                         event({{"after_ms", 500}}, "mark", {{"name", "i"}}),
                         now("key", {{"chars", "i"}}),
                         event({{"after_ms", 1500}}, "mark", {{"name", "o"}}),
                         now("key", {{"chars", "o"}}),
                         event({{"file", log_of(root() / ("home-" + name))}, {"has", "workarea: IN"}, {"count", 2}},
                               "wait")};
    const json s = run(name, path, still, events);
    const json *play = find_mark(s, "play"), *in = find_mark(s, "i"), *out = find_mark(s, "o");
    const auto lines = work_area_lines(read_text(log_of(root() / ("home-" + name))));
    if (!play || !in || !out || lines.size() != 2u) {
      ADD_FAILURE() << "the run ended before both keys";
      continue;
    }
    const double between_ms = out->at("at_ms").get<double>() - in->at("at_ms").get<double>();
    const double since_play_ms = out->at("at_ms").get<double>() - play->at("at_ms").get<double>();
    const int64_t marked_in = lines[1].first, marked_out = lines[1].second;
    const double played = between_ms * 24.0 / 1000.0;
    std::cout << name << ": IN " << marked_in << " → OUT " << marked_out << ", " << between_ms << " ms apart ("
              << played << " frames played); OUT " << since_play_ms << " ms after play from " << kFrom << "\n";
    EXPECT_LE(static_cast<double>(marked_out), kFrom + since_play_ms * 24.0 / 1000.0 + 2.0) << "ahead of the clock";
    EXPECT_GE(static_cast<double>(marked_out - marked_in), played / 2.0) << "the marks stood still with the pixels";
  }
}

// At 120 frames a second, five pauses: each paused picture is the frame on
// screen when pause was pressed, or the one after it, give or take the
// frames that fell due before the pause was taken up.
TEST_F(PicturePlayhead, PausesAt120FramesASecondKeepThePicture) {
  const fs::path fast = at_120("bar-120", 0, kBarFrames);
  constexpr int kPauses = 5;
  // On a 2× screen, as the demo's: the stand-in GPU's draws take long
  // enough that several are in flight at 120 frames a second. Under a
  // sanitizer each takes most of a second even at 1×.
  constexpr int kScale = kSanitized ? 1 : 2;
  constexpr int kPlayed = kSanitized ? 4 : 12;
  for (const BarPath& path : kBarPaths) {
    const std::string name = std::string("pauses-") + path.name;
    SCOPED_TRACE(name);
    json events = json::array();
    for (int i = 0; i < kPauses; ++i) {
      const std::string k = std::to_string(i);
      events.push_back(now("play"));
      // The idle call that takes the pause up follows the events of its
      // turn: the picture moves on meanwhile for as long as the screenshot
      // takes to draw.
      events.push_back(event(after_frames(kPlayed), "mark", {{"name", "before-" + k}}));
      events.push_back(shot("before-" + k + ".png"));
      events.push_back(now("pause"));
      events.push_back(now("mark", {{"name", "taken-" + k}}));
      for (const json& e : pause_settled(path, "paused-" + k + ".png")) events.push_back(e);
    }
    const json s = run(name, path, fast, events, kScale);
    for (int i = 0; i < kPauses; ++i) {
      const std::string k = std::to_string(i);
      const double before = frame_in(name, s, "before-" + k + ".png", kScale);
      const double paused = frame_in(name, s, "paused-" + k + ".png", kScale);
      const json *at = find_mark(s, "before-" + k), *taken = find_mark(s, "taken-" + k);
      if (!at || !taken) {
        ADD_FAILURE() << "the run ended before pause " << i;
        break;
      }
      const double gap_ms = taken->at("at_ms").get<double>() - at->at("at_ms").get<double>();
      std::cout << name << ": pause on " << before << ", paused picture " << paused << " (taken up " << gap_ms
                << " ms later)\n";
      // In loop order: the picture may have gone round to the loop's start.
      double ahead = paused - before;
      if (ahead < -kBarFrames / 2.0) ahead += kBarFrames;
      EXPECT_GE(ahead, -0.5) << "pause " << i;
      // Under a sanitizer the stand-in GPU takes 25 to over 100 ms a draw,
      // so the Metal worker's picture lags its clock by as much and moves on
      // in steps of up to a dozen frames: one may land between the
      // screenshot and the press, and the pause rightly keeps it. The
      // picture at the press is then not the one the screenshot read, and
      // only the plain build, whose draws keep up, bounds it from above.
      if (kSanitized && !path.no_gpu) continue;
      EXPECT_LE(ahead, 2.5 + std::ceil(gap_ms * 120.0 / 1000.0)) << "pause " << i;
    }
  }
}

// A resize of the panel to a smaller size and back to the opening one (at
// which the summary's picture rectangle is measured), each followed by a
// wait for `settled`: each changes the picture's pixel size, so each makes
// the panel present again.
json resize_and_back(const json& settled) {
  return json::array({now("resize_panel", {{"width", 800}, {"height", 450}}), event(settled, "wait"),
                      now("resize_panel", {{"width", 960}, {"height", 540}}), event(settled, "wait")});
}

// At 120 frames a second the clock hands a frame over at nearly every idle
// call, so a pause one or two turns after a picture mostly finds one on its
// way and drops it. Rounds of play (with a resize and back while playing
// when `resize_playing`), such a pause, and a resize of the paused panel and
// back; the kept and resized pictures of each round that played (a play
// that puts no picture up holds the run until its bound).
std::vector<std::pair<double, double>> resize_rounds(const std::string& name, const BarPath& path, const fs::path& aep,
                                                     int rounds, bool resize_playing) {
  json events = json::array();
  auto add = [&](const json& more) { events.insert(events.end(), more.begin(), more.end()); };
  for (int i = 0; i < rounds; ++i) {
    const std::string k = std::to_string(i);
    events.push_back(now("play"));
    events.push_back(event(after_frames(3), "mark", {{"name", "played-" + k}}));
    if (resize_playing) add(resize_and_back(after_frames(2)));
    events.push_back(event({{"idle_rounds", 1 + i % 2}}, "pause"));
    add(pause_settled(path, "kept-" + k + ".png"));
    add(resize_and_back("picture_presented"));
    events.push_back(shot("resized-" + k + ".png"));
  }
  const json s = PicturePlayhead::run(name, path, aep, events);
  std::vector<std::pair<double, double>> out;
  for (int i = 0; i < rounds && find_mark(s, "played-" + std::to_string(i)); ++i) {
    const std::string k = std::to_string(i);
    out.emplace_back(PicturePlayhead::frame_in(name, s, "kept-" + k + ".png"),
                     PicturePlayhead::frame_in(name, s, "resized-" + k + ".png"));
    std::cout << name << ": round " << i << ": kept " << out.back().first << ", resized " << out.back().second << "\n";
  }
  return out;
}

TEST_F(PicturePlayhead, AResizeOfThePausedPanelShowsTheKeptFrame) {
  constexpr int kRounds = kSanitized ? 4 : 8;
  for (const BarPath& path : kBarPaths) {
    const std::string name = std::string("resized-") + path.name;
    SCOPED_TRACE(name);
    const auto rounds = resize_rounds(name, path, at_120("bar-120-resized", 0, kBarFrames), kRounds, true);
    EXPECT_EQ(rounds.size(), static_cast<size_t>(kRounds));
    int off = 0;
    for (const auto& [kept, resized] : rounds) {
      ASSERT_FALSE(std::isnan(kept));
      off += !(std::abs(resized - kept) <= 0.5);
    }
    std::cout << name << ": " << off << " of " << rounds.size() << " rounds off the kept frame after a resize\n";
    EXPECT_EQ(off, 0);
  }
}

// A work area of two frames, IN 238 and OUT 239: ten rounds of play, pause
// and a resize; each play puts pictures up again.
TEST_F(PicturePlayhead, PlayInATwoFrameWorkAreaGoesOnAfterAPausedResize) {
  constexpr int kRounds = 10;
  for (const BarPath& path : kBarPaths) {
    const std::string name = std::string("two-") + path.name;
    SCOPED_TRACE(name);
    const auto rounds = resize_rounds(name, path, at_120("bar-120-two", 238, 2), kRounds, false);
    std::cout << name << ": " << kRounds - rounds.size() << " of " << kRounds << " rounds with no picture after play\n";
    EXPECT_EQ(rounds.size(), static_cast<size_t>(kRounds));
    for (const auto& [kept, resized] : rounds) {
      EXPECT_TRUE(std::abs(kept - 238) <= 0.5 || std::abs(kept - 239) <= 0.5) << kept;
      EXPECT_NEAR(resized, kept, 0.5);
    }
  }
}

}  // namespace
}  // namespace vel
