// A key and a strip click made in one turn of the host's loop (the stand-in
// host runs every event due in a turn before its idle call) are taken in the
// order they came, on both present paths with the default switches: a key
// before the click marks the frame on screen before it, a key after it the
// clicked frame, paused and playing, on a composition of 240 frames and on
// one of ten hours. The frame on screen is read from a white bar that moves
// 7 composition pixels per frame (on the ten-hour composition, around the
// frames the run shows).
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
#include "support/child_process.h"
#include "support/sanitized_build.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::kSanitized;
using testing::read_text;
using testing::after_frames;
using testing::event;
using testing::now;
using testing::work_area_lines;

struct Path {
  const char* name;
  bool no_gpu;
};
constexpr Path kPaths[] = {{"cpu", true}, {"metal", false}};

// The bar's centre (composition x) at some frames, rising: the bar moves in
// straight lines between them and stands still before the first and after
// the last.
using BarKeys = std::vector<std::pair<int64_t, double>>;

// The frame whose bar stands at x, by the keys; NaN outside them.
double frame_at_bar(const BarKeys& keys, double x) {
  for (size_t i = 1; i < keys.size(); ++i) {
    const auto [f0, x0] = keys[i - 1];
    const auto [f1, x1] = keys[i];
    if (x >= x0 && x <= x1) return static_cast<double>(f0) + (x - x0) / (x1 - x0) * static_cast<double>(f1 - f0);
  }
  return NAN;
}

// A composition and the strip positions (window points of a panel 960
// points wide at scale 1, its strip across the whole width) of the frames
// the run clicks: paused on `a`, then "o" and a click on `b` in one turn; a
// click on `c` and "o" in one turn; playing from `d`, "i" and a click on `e`
// in one turn; playing again, a click on `f` and "i" in one turn.
struct Composition {
  const char* name;
  int64_t frames;
  BarKeys bar;
  double a, b, c, d, e, f;
};

constexpr int64_t kShortFrames = 240;
constexpr int64_t kLongFrames = 10 * 3600 * 24;

// A frame of the 240: a third of a frame into its stretch of the strip.
double short_x(int64_t frame) { return 960.0 * (static_cast<double>(frame) + 0.3) / kShortFrames; }
// A thousandth of the strip of ten hours: its first frame, 864 × thousandths.
double long_x(int64_t thousandths) { return 0.96 * static_cast<double>(thousandths); }

// Around each frame the ten-hour run shows, 7 pixels a frame; the playback
// from 432,000 has 70 frames of room.
BarKeys long_bar() {
  BarKeys keys;
  double x = 60;
  for (const auto& [from, to] : {std::pair<int64_t, int64_t>{86380, 86420}, {259180, 259220}, {431990, 432060},
                                {604780, 604820}}) {
    keys.emplace_back(from, x);
    x += 7.0 * static_cast<double>(to - from);
    keys.emplace_back(to, x);
    x += 80;
  }
  return keys;
}

const Composition kCompositions[] = {
    {"short", kShortFrames, {{0, testing::kBarStart}, {kShortFrames, testing::kBarStart + testing::kBarStep * kShortFrames}},
     short_x(49), short_x(125), short_x(200), short_x(100), short_x(49), short_x(60)},
    {"ten-hours", kLongFrames, long_bar(), long_x(100), long_x(300), long_x(700), long_x(500), long_x(100), long_x(300)},
};

json click_at(double x) { return now("click", {{"x", x}, {"y", 32}}); }
json key(const char* chars) { return now("key", {{"chars", chars}}); }

json settled(const Path& path, const std::string& png) { return testing::settled_picture(path.no_gpu, png); }

class InputOrderRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new testing::ScratchDir("vel-order");
    ASSERT_TRUE(scratch_->ok());
    ASSERT_TRUE(testing::write_sample_with_bar(fs::path(VEL_DEMO_DIR) / "sample.aep", root() / "bar.aep", kShortFrames, 10));
  }
  static void TearDownTestSuite() {
    if (getenv("KEEP")) return;
    delete scratch_;
    scratch_ = nullptr;
  }

  static fs::path root() { return scratch_->path(); }
  static std::string log_of(const fs::path& home) { return (home / "Library" / "Logs" / "velocinta.log").string(); }

  // The bar project at the composition's length, its bar on the keys.
  static fs::path project(const Composition& c) {
    const fs::path aep = root() / (std::string(c.name) + ".aep");
    json doc = json::parse(read_text(root() / "bar.aep"));
    json& comp = doc["compositions"][0];
    comp["duration"] = {c.frames, 24};
    comp["work_area"] = {{"start", {0, 24}}, {"duration", {c.frames, 24}}};
    json keys = json::array();
    for (const auto& [frame, x] : c.bar) keys.push_back({{"time", {frame, 24}}, {"value", {x, 540}}, {"interp", "linear"}});
    comp["layers"][0]["transform"]["position"]["keyframes"] = keys;
    std::ofstream(aep) << doc.dump();
    return aep;
  }

  // Opens the panel at 960 × 540 points, paused before the first picture
  // (the 240 frames then cached whole), runs `events` in a fresh home; the
  // summary.
  static json run(const std::string& name, const Path& path, const Composition& c, const json& events) {
    const fs::path home = root() / ("home-" + name), out = root() / name;
    json all = json::array({event(nullptr, "open_panel", {{"width", 960}, {"height", 540}, {"scale", 1}})});
    for (const json& e : testing::pause_before_first_picture(log_of(home))) all.push_back(e);
    if (c.frames == kShortFrames) all.push_back(event({{"file", log_of(home)}, {"has", "S2 zone de travail en cache"}}, "wait"));
    for (const json& e : events) all.push_back(e);
    all.push_back(now("quit"));
    const json s = testing::run_scenario(name, home, out, project(c), all, path.no_gpu);
    if (!s.contains("scenario_failures")) return s;  // no summary: failed already
    EXPECT_TRUE(s.value("quit", false)) << name << ": still waiting for " << s.value("still_waiting", "");
    return s;
  }

  // The frame a screenshot of run `name` shows; NaN without the bar.
  static double frame_in(const std::string& name, const json& summary, const Composition& c, const std::string& png) {
    if (!summary.at("panel").contains("picture_rect")) return NAN;
    const auto x = testing::white_bar_on_screen(root() / name / png, summary.at("panel").at("picture_rect"), 1920.0);
    return x ? frame_at_bar(c.bar, *x) : NAN;
  }

  static testing::ScratchDir* scratch_;
};

testing::ScratchDir* InputOrderRun::scratch_ = nullptr;

TEST_F(InputOrderRun, AKeyAndAClickInOneTurnAreTakenInTheOrderTheyCame) {
  for (const Composition& c : kCompositions) {
    for (const Path& path : kPaths) {
      const std::string name = std::string(c.name) + "-" + path.name;
      SCOPED_TRACE(name);
      const std::string log = log_of(root() / ("home-" + name));
      json events = json::array();
      auto add = [&](const json& more) { events.insert(events.end(), more.begin(), more.end()); };
      auto lines = [&](int n) { return event({{"file", log}, {"has", "workarea: IN"}, {"count", n}}, "wait"); };
      // Paused on a: "o", then a click on b.
      events.push_back(click_at(c.a));
      add(settled(path, "a.png"));
      add({key("o"), click_at(c.b)});
      add(settled(path, "o-then-b.png"));
      events.push_back(lines(1));
      // A click on c, then "o".
      add({click_at(c.c), key("o")});
      add(settled(path, "c-then-o.png"));
      events.push_back(lines(2));
      // Playing from d: "i", then a click on e, in the turn of a screenshot.
      events.push_back(click_at(c.d));
      add(settled(path, "d.png"));
      add({now("play"), event(after_frames(4), "screenshot", {{"path", "playing.png"}}), key("i"), click_at(c.e)});
      add(settled(path, "i-then-e.png"));
      events.push_back(lines(3));
      // Playing again (from the work area's IN): a click on f, then "i".
      add({now("play"), event(after_frames(4), "wait"), click_at(c.f), key("i")});
      add(settled(path, "f-then-i.png"));
      events.push_back(lines(4));
      const json s = run(name, path, c, events);

      const auto marks = work_area_lines(read_text(log));
      if (marks.size() != 4u) {
        ADD_FAILURE() << marks.size() << " work-area changes";
        continue;
      }
      const double a = frame_in(name, s, c, "a.png"), b = frame_in(name, s, c, "o-then-b.png");
      const double cc = frame_in(name, s, c, "c-then-o.png");
      const double playing = frame_in(name, s, c, "playing.png"), e = frame_in(name, s, c, "i-then-e.png");
      const double f = frame_in(name, s, c, "f-then-i.png");
      std::cout << name << ": paused on " << a << ", o + click: OUT " << marks[0].second << " (" << b
                << " on screen); click + o: OUT " << marks[1].second << " (" << cc << "); playing at " << playing
                << ", i + click: IN " << marks[2].first << " (" << e << "); click + i: IN " << marks[3].first << " ("
                << f << ")\n";
      // Paused: the key marks the frame on screen before the click.
      EXPECT_NEAR(static_cast<double>(marks[0].second), a, 0.5) << "o then a click";
      EXPECT_GT(std::fabs(b - a), 10.0) << "the click showed its frame";
      // The key after the click marks the clicked frame.
      EXPECT_NEAR(static_cast<double>(marks[1].second), cc, 0.5) << "a click then o";
      // Playing: the frame on screen when the key was taken up, the
      // screenshot's or one drawn since in the same turn; not the click's.
      // Under a sanitizer the stand-in GPU's picture moves on in steps of up
      // to a dozen frames, and only the plain build bounds it from above.
      const double ahead = static_cast<double>(marks[2].first) - playing;
      EXPECT_GE(ahead, -0.5) << "i then a click while playing";
      if (!kSanitized || path.no_gpu) {
        EXPECT_LE(ahead, 2.5) << "i then a click while playing";
      }
      EXPECT_GT(std::fabs(static_cast<double>(marks[2].first) - e), 10.0) << "i then a click marked the click";
      EXPECT_NEAR(static_cast<double>(marks[3].first), f, 0.5) << "a click then i while playing";
    }
  }
}

}  // namespace
}  // namespace vel
