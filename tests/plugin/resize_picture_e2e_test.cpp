// A resize of the panel shows again the frame on screen, on both present
// paths with the default switches: paused, the frame the pause kept, never
// the one the playback was preparing when the pause came; and play goes on
// after it, even in a work area of two frames. The frame on screen is read
// from a white bar that moves 7 composition pixels per frame. Every
// comparison is between screenshots at the panel's opening size, the one
// the summary's picture rectangle is measured at.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "plugin/frame_bar.h"
#include "plugin/paused_opening.h"
#include "plugin/scenario_steps.h"
#include "plugin/summary_marks.h"
#include "support/sanitized_build.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::after_frames;
using testing::event;
using testing::now;

constexpr int kFrames = 240;
constexpr const char* kSweepDone = "S2 zone de travail en cache";

struct Path {
  const char* name;
  bool no_gpu;
};
constexpr Path kPaths[] = {{"cpu", true}, {"metal", false}};

// The opening size and a smaller one: each resize changes the picture's
// pixel size, so each makes the panel present again.
json resize_to(bool small) {
  return now("resize_panel", {{"width", small ? 800 : 960}, {"height", small ? 450 : 540}});
}

// The picture once a pause settled: the CPU path keeps the frame on screen
// as it is; the Metal worker draws the kept frame again, last.
json pause_settled(const Path& path, const std::string& png) {
  if (path.no_gpu) return event("text:\xE2\x96\xB6", "screenshot", {{"path", png}});
  return event("picture_presented", "screenshot", {{"path", png}});
}

class ResizePicture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new testing::ScratchDir("vel-resize-picture");
    ASSERT_TRUE(scratch_->ok());
    // At 120 frames a second the clock hands a frame over at nearly every
    // idle call: a pause mostly finds one on its way, which it drops.
    ASSERT_TRUE(testing::write_sample_with_bar(fs::path(VEL_DEMO_DIR) / "sample.aep", project("bar-24"), kFrames, 10));
    json doc = json::parse(testing::read_text(project("bar-24")));
    json& comp = doc["compositions"][0];
    comp["frame_duration"] = {1, 120};
    comp["duration"] = {kFrames, 120};
    comp["work_area"] = {{"start", {0, 120}}, {"duration", {kFrames, 120}}};
    for (json& key : comp["layers"][0]["transform"]["position"]["keyframes"]) key["time"][1] = 120;
    std::ofstream(project("bar")) << doc.dump();
    // IN 238, OUT 239.
    comp["work_area"] = {{"start", {238, 120}}, {"duration", {2, 120}}};
    std::ofstream(project("two")) << doc.dump();
  }
  static void TearDownTestSuite() {
    if (getenv("KEEP")) return;
    delete scratch_;
    scratch_ = nullptr;
  }

  static fs::path root() { return scratch_->path(); }
  static fs::path project(const std::string& name) { return root() / (name + ".aep"); }

  // Opens the panel at 960 × 540 points, paused before the first picture,
  // waits until the work area is cached, then runs `events`; the summary.
  static json run(const std::string& name, const Path& path, const fs::path& aep, const json& events) {
    const fs::path home = root() / ("home-" + name), out = root() / name;
    const std::string log = (home / "Library" / "Logs" / "velocinta.log").string();
    json all = json::array({now("open_panel", {{"width", 960}, {"height", 540}, {"scale", 1}})});
    for (const json& e : testing::pause_before_first_picture(log)) all.push_back(e);
    all.push_back(event({{"file", log}, {"has", kSweepDone}}, "wait"));
    for (const json& e : events) all.push_back(e);
    all.push_back(now("quit"));
    const json s = testing::run_scenario(name, home, out, aep, all, path.no_gpu);
    if (!s.contains("scenario_failures")) return s;  // no summary: failed already
    EXPECT_TRUE(s.value("quit", false)) << name << ": still waiting for " << s.value("still_waiting", "");
    return s;
  }

  // The frame a screenshot of run `name` shows; NaN without the bar.
  static double frame_in(const std::string& name, const json& summary, const std::string& png) {
    if (!summary.at("panel").contains("picture_rect")) return NAN;
    return testing::frame_on_screen(root() / name / png, summary.at("panel").at("picture_rect")).value_or(NAN);
  }

  static testing::ScratchDir* scratch_;
};

testing::ScratchDir* ResizePicture::scratch_ = nullptr;

// Rounds of play, a resize while playing and back, a pause one to three
// turns later (the playback's next frame may then be on its way), and a
// resize of the paused panel and back: the picture is the kept frame.
TEST_F(ResizePicture, AResizeOfThePausedPanelShowsTheKeptFrame) {
  constexpr int kRounds = testing::kSanitized ? 4 : 8;
  for (const Path& path : kPaths) {
    const std::string name = std::string("paused-") + path.name;
    SCOPED_TRACE(name);
    json events = json::array();
    for (int i = 0; i < kRounds; ++i) {
      const std::string k = std::to_string(i);
      events.push_back(now("play"));
      events.push_back(event(after_frames(4), "wait"));
      events.push_back(resize_to(true));
      events.push_back(event(after_frames(2), "wait"));
      events.push_back(resize_to(false));
      events.push_back(event({{"idle_rounds", 1 + i % 2}}, "pause"));
      events.push_back(pause_settled(path, "kept-" + k + ".png"));
      events.push_back(resize_to(true));
      events.push_back(event("picture_presented", "wait"));
      events.push_back(resize_to(false));
      events.push_back(event("picture_presented", "screenshot", {{"path", "resized-" + k + ".png"}}));
    }
    const json s = run(name, path, project("bar"), events);
    int off = 0;
    for (int i = 0; i < kRounds; ++i) {
      const std::string k = std::to_string(i);
      const double kept = frame_in(name, s, "kept-" + k + ".png");
      const double resized = frame_in(name, s, "resized-" + k + ".png");
      std::cout << name << ": round " << i << ": kept " << kept << ", after the resizes " << resized << "\n";
      ASSERT_FALSE(std::isnan(kept)) << "round " << i;
      off += !(std::abs(resized - kept) <= 0.5);
      EXPECT_NEAR(resized, kept, 0.5) << "round " << i;
    }
    std::cout << name << ": " << off << " of " << kRounds << " rounds off the kept frame after a resize\n";
  }
}

// A work area of two frames: ten rounds of play, pause and a resize and
// back; each play puts pictures up again, and each resize one of the two.
TEST_F(ResizePicture, PlayInATwoFrameWorkAreaGoesOnAfterAPausedResize) {
  constexpr int kRounds = 10;
  for (const Path& path : kPaths) {
    const std::string name = std::string("two-") + path.name;
    SCOPED_TRACE(name);
    json events = json::array();
    for (int i = 0; i < kRounds; ++i) {
      const std::string k = std::to_string(i);
      events.push_back(now("play"));
      // A play that puts no picture up holds the run here until its bound.
      events.push_back(event(after_frames(3), "mark", {{"name", "played-" + k}}));
      events.push_back(event({{"idle_rounds", 1 + i % 2}}, "pause"));
      events.push_back(pause_settled(path, "kept-" + k + ".png"));
      events.push_back(resize_to(true));
      events.push_back(event("picture_presented", "wait"));
      events.push_back(resize_to(false));
      events.push_back(event("picture_presented", "screenshot", {{"path", "resized-" + k + ".png"}}));
    }
    const json s = run(name, path, project("two"), events);
    int played = 0;
    for (int i = 0; i < kRounds; ++i) {
      const std::string k = std::to_string(i);
      if (testing::find_mark(s, "played-" + k) == nullptr) break;
      ++played;
      const double kept = frame_in(name, s, "kept-" + k + ".png"), resized = frame_in(name, s, "resized-" + k + ".png");
      std::cout << name << ": round " << i << ": kept " << kept << ", after the resizes " << resized << "\n";
      EXPECT_TRUE(std::abs(kept - 238) <= 0.5 || std::abs(kept - 239) <= 0.5) << "round " << i;
      EXPECT_NEAR(resized, kept, 0.5) << "round " << i;
    }
    std::cout << name << ": " << kRounds - played << " of " << kRounds << " rounds with no picture after play\n";
    EXPECT_EQ(played, kRounds);
  }
}

}  // namespace
}  // namespace vel
