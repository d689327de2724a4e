// Clicks, a scrub and playback on compositions far longer than the RAM cache
// holds, once the cache is full, as a user sees them in the stand-in host
// with the default switches, on both present paths. The frames are cheap
// (320 × 180, rendered at no cost), so the cache fills in seconds; a white
// bar crosses the picture once over the whole composition, so a screenshot
// tells where in it the frame on screen lies. Each click's frame must reach
// the screen: a frame made while the cache still ranked its frames by the
// former position was put out as it went in, and then never asked again.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "plugin/frame_bar.h"
#include "plugin/paused_opening.h"
#include "plugin/summary_marks.h"
#include "plugin/turning_bar.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::find_mark;
using testing::read_text;

constexpr int kWidth = 320;
constexpr int kFps = 30;
constexpr int kCacheFrames = 4096;  // the cache's frame limit
constexpr double kPanelWidth = 960;
constexpr double kStripY = 32;  // the cache strip, along the panel's bottom

// 320 × 180 at 30 fps, no render cost: a dark ground, a white bar whose
// centre goes from the left edge at frame 0 to the right edge at the end,
// and a square in the top corner that turns 7° a frame, so that no two
// frames in a row are alike (the Metal path draws no frame whose pixels are
// those on screen already, and the bar alone moves a pixel only every few
// hundred frames).
json long_project(int frames) { return testing::turning_bar_project("Long", frames, kFps); }

struct Length {
  const char* name;
  int frames;
};
struct Case {
  Length length;
  bool no_gpu;
};

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  return std::string(info.param.length.name) + (info.param.no_gpu ? "_cpu" : "_gpu");
}

class FullCache : public ::testing::TestWithParam<Case> {};

// Paused on a full cache: clicks at three quarters of the strip, at a
// quarter and at half, a scrub to five eighths, and play: each frame asked
// for reaches the screen (the run would wait in vain otherwise), and it is
// the frame at that place of the composition. Play goes on from there,
// frame after frame.
TEST_P(FullCache, EveryClickAndScrubShowsItsFrameAndPlayGoesOn) {
  const Case c = GetParam();
  testing::ScratchDir scratch("vel-full-cache");
  ASSERT_TRUE(scratch.ok());
  const fs::path home = scratch.path() / "home";
  const fs::path out = scratch.path() / "out";
  const fs::path project = scratch.path() / "long.aep";
  fs::create_directories(home / "tmp");
  fs::create_directories(out);
  std::ofstream(project) << long_project(c.length.frames).dump();
  const std::string log = (home / "Library" / "Logs" / "velocinta.log").string();
  const std::string store = (home / "Library" / "Caches" / "velocinta").string();

  // Each cached frame is written to the disk store once: as many frame
  // files as the cache holds say it is full.
  auto store_holds = [&](int files) { return json{{"folder", store}, {"files", ".vnf"}, {"count", files}}; };
  struct Ask {
    const char* name;
    double x;      // where the pointer lets go on the strip
    double from_x;  // a scrub's start; the same as `x` for a click
    json before;   // what the ask waits for
  };
  const Ask asks[] = {
      {"three-quarters", 720, 720, store_holds(kCacheFrames)},
      // At once: the cache holds the frames from the start and the one at
      // three quarters, where its focus stood until this click.
      {"quarter", 243, 243, "picture_presented"},
      {"half", 480, 480, "picture_presented"},
      {"scrub", 600, 300, "picture_presented"},
  };
  json events = {{{"at_ms", 0}, {"action", "open_panel"}, {"width", kPanelWidth}, {"height", 540}, {"scale", 1}}};
  const json pause = testing::pause_before_first_picture(log);
  events.insert(events.end(), pause.begin(), pause.end());
  for (const Ask& a : asks) {
    events.push_back({{"when", a.before}, {"action", "mark"}, {"name", std::string("ask-") + a.name}});
    if (a.from_x == a.x) {
      events.push_back({{"at_ms", 0}, {"action", "click"}, {"x", a.x}, {"y", kStripY}});
    } else {
      events.push_back(
          {{"at_ms", 0}, {"action", "drag"}, {"x", a.from_x}, {"y", kStripY}, {"to_x", a.x}, {"to_y", kStripY}});
    }
    events.push_back({{"when", {{"frames", 1}}}, {"action", "mark"}, {"name", std::string("shown-") + a.name}});
    events.push_back({{"when", "picture_presented"}, {"action", "screenshot"}, {"path", std::string(a.name) + ".png"}});
  }
  events.push_back({{"at_ms", 0}, {"action", "play"}});
  events.push_back({{"when", {{"frames", 2 * kFps}}}, {"action", "quit"}});
  std::ofstream(out / "scenario.json") << json{{"events", events}}.dump();

  std::vector<std::string> args = {"--plugin",  VEL_PLUGIN_PATH, "--project", project.string(),
                                   "--seconds", "150",           "--out",     out.string(),
                                   "--scenario", (out / "scenario.json").string()};
  if (c.no_gpu) args.push_back("--no-gpu");
  const std::vector<std::string> env = {"HOME=" + home.string(), "TMPDIR=" + (home / "tmp").string(),
                                        "VELOCINTA_PERF=1"};
  const testing::ChildResult r = testing::run_child(VEL_SIMHOST_PATH, args, env, out.string(), 170);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const json s = json::parse(read_text(out / "summary.json"), nullptr, false);
  ASSERT_TRUE(s.is_object()) << r.output;
  EXPECT_TRUE(s.at("scenario_failures").empty()) << s.at("scenario_failures").dump();
  EXPECT_TRUE(s.value("quit", false)) << "stalled, still waiting for " << s.value("still_waiting", "");

  const json& rect = s.at("panel").at("picture_rect");
  for (const Ask& a : asks) {
    SCOPED_TRACE(a.name);
    const json* asked = find_mark(s, std::string("ask-") + a.name);
    const json* shown = find_mark(s, std::string("shown-") + a.name);
    if (!asked || !shown) {
      ADD_FAILURE() << "the frame never reached the screen";
      continue;
    }
    const std::optional<double> x = testing::white_bar_on_screen(out / (std::string(a.name) + ".png"), rect, kWidth);
    ASSERT_TRUE(x) << "no bar on screen";
    // The strip spans the panel's width: the place clicked is the place in
    // the composition, give or take a point of the strip.
    EXPECT_NEAR(*x / kWidth, a.x / kPanelWidth, 0.01);
    const double ms = shown->at("at_ms").get<double>() - asked->at("at_ms").get<double>();
    ::testing::Test::RecordProperty(std::string("ms_to_frame_") + a.name, std::to_string(std::lround(ms)));
    std::printf("%s %s: frame on screen %.0f ms after the %s\n", c.length.name, c.no_gpu ? "cpu" : "gpu", ms,
                a.from_x == a.x ? "click" : "scrub");
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VEL_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VEL_TEST_SANITIZED 1
#endif
#endif

// Under a sanitizer a fill of 4096 frames takes most of a minute: there the
// longest composition stands for the three, whose runs take the same paths
// through the cache, the strip and the clocks.
INSTANTIATE_TEST_SUITE_P(Lengths, FullCache,
                         ::testing::Values(
#ifndef VEL_TEST_SANITIZED
                             Case{{"ten_minutes", 10 * 60 * kFps}, true}, Case{{"ten_minutes", 10 * 60 * kFps}, false},
                             Case{{"one_hour", 60 * 60 * kFps}, true}, Case{{"one_hour", 60 * 60 * kFps}, false},
#endif
                             Case{{"ten_hours", 10 * 60 * 60 * kFps}, true},
                             Case{{"ten_hours", 10 * 60 * 60 * kFps}, false}),
                         case_name);

}  // namespace
}  // namespace vel
