// What the user sees while the pool runs, with every switch at its default,
// on both present paths: a click at a frame the batch has not delivered yet
// shows that frame without waiting for the pool, whose copy, when it comes,
// replaces nothing; workers that never write a frame do not keep the work
// area from being cached, since what the pool gives up is rendered
// in-process, nor stop the picture of a panel that plays into their frames;
// and far clicks on a long composition each show their frame. The runs
// follow what happens, not the clock; the times they print are figures to
// read, not limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "plugin/frame_bar.h"
#include "plugin/paused_opening.h"
#include "plugin/simhost_pool_run.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::read_text;

struct PoolPath {
  const char* name;
  bool no_gpu;
};

class PoolPreviewRun : public testing::SimhostPoolRun, public ::testing::WithParamInterface<PoolPath> {
 protected:
  void SetUp() override {
    SimhostPoolRun::SetUp();
    host_renders_async_ = true;
  }
  // The sample as it ships (1920 × 1080, its render cost), with the frame
  // bar on top; `two_d` drops the 3D switch of its layers.
  void use_sample(bool two_d) {
    json p = json::parse(read_text(std::string(VEL_DEMO_DIR) + "/sample.aep"));
    json& comp = p["compositions"][0];
    if (two_d)
      for (auto& layer : comp["layers"]) layer["three_d"] = false;
    testing::add_frame_bar(comp, 240);
    write_project(p);
  }
  std::vector<std::string> path_args() const {
    return GetParam().no_gpu ? std::vector<std::string>{"--no-gpu"} : std::vector<std::string>{};
  }
  static const json* mark(const json& s, const std::string& name) {
    if (!s.contains("marks") || !s["marks"].is_array()) return nullptr;
    for (const json& m : s["marks"])
      if (m.value("name", "") == name) return &m;
    return nullptr;
  }
  static json open_panel() {
    return {{"at_ms", 0}, {"action", "open_panel"}, {"width", 960}, {"height", 540}, {"scale", 1}};
  }
  // Paused before the first picture, so that the first picture settled
  // after a click is the clicked frame's.
  void pause_before_first_picture(json& events) {
    for (const json& e : testing::pause_before_first_picture(log_path().string())) events.push_back(e);
  }
};

// Paused, with the pool delivering its first frames, a click on the cache
// strip at frame 200 (five sixths along), which the pool reaches late: the
// picture shows frame 200 once it settles, and the pool's copy of it, when
// one comes, never enters the cache. The 2D copy of the sample: on the 3D
// one the pool starts no worker while the host's render manager works, and
// that one then fills the work area alone.
TEST_P(PoolPreviewRun, AClickAtAFrameThePoolHasNotDeliveredShowsItWithoutWaitingForThePool) {
  use_sample(true);
  json events = json::array({open_panel(), command(0, "velocinta: pool (toggle)")});
  pause_before_first_picture(events);
  for (json e : {when_logged("S5 pool : image", 1, {{"action", "mark"}, {"name", "click"}}),
                 json{{"at_ms", 0}, {"action", "click"}, {"x", 801}, {"y", 32}},
                 json{{"when", {{"frames", 1}}}, {"action", "mark"}, {"name", "first"}},
                 json{{"when", "picture_presented"}, {"action", "mark"}, {"name", "shown"}},
                 json{{"at_ms", 0}, {"action", "screenshot"}, {"path", "clicked.png"}},
                 when_logged("S2 zone de travail en cache", 1, {{"action", "quit"}})})
    events.push_back(std::move(e));
  auto r = run({}, events, 110.0, path_args());
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
  const json s = summary();
  const std::string text = log();
  ASSERT_TRUE(s.value("quit", false)) << "still waiting for " << s.value("still_waiting", "") << "\n" << text;
  const std::optional<double> shown = testing::frame_on_screen(root_ / "out" / "clicked.png", s["panel"]["picture_rect"]);
  ASSERT_TRUE(shown) << "the frame bar is not on screen";
  EXPECT_NEAR(*shown, 200.0, 0.5) << text;
  EXPECT_EQ(text.find("S5 pool : image 200/24 "), std::string::npos) << "the pool's copy replaced the frame\n" << text;
  const json* click = mark(s, "click");
  const json* first = mark(s, "first");
  const json* settled = mark(s, "shown");
  ASSERT_TRUE(click && first && settled);
  const double at = click->at("at_ms").get<double>();
  RecordProperty("click_to_first_picture_ms", std::to_string(first->at("at_ms").get<double>() - at));
  RecordProperty("click_to_frame_settled_ms", std::to_string(settled->at("at_ms").get<double>() - at));
  std::cout << GetParam().name << ": click to first picture " << first->at("at_ms").get<double>() - at
            << " ms, to frame 200 settled " << settled->at("at_ms").get<double>() - at << " ms\n";
}

// Workers that start and never write a frame, on a 2D copy of the sample:
// once the batch's first-delivery limit has passed (and earlier for the
// jobs the asynchronous prefetch would beat), its frames are rendered
// in-process and the work area is said cached, long before the silent
// batch is killed.
TEST_P(PoolPreviewRun, SilentWorkersDoNotKeepTheWorkAreaFromTheCache) {
  use_sample(true);
  const json events = json::array(
      {open_panel(), command(0, "velocinta: pool (toggle)"),
       when_logged("DELIVERY use_pool=true reason=pool_next_batch_ready ranges=", 1,
                   {{"action", "mark"}, {"name", "launched"}}),
       when_logged("S2 zone de travail en cache", 1, {{"action", "mark"}, {"name", "cached"}}),
       json{{"at_ms", 0}, {"action", "quit"}}});
  auto r = run({"SIM_AERENDER_SILENT=1"}, events, 110.0, path_args());
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
  const json s = summary();
  const std::string text = log();
  ASSERT_TRUE(s.value("quit", false)) << "still waiting for " << s.value("still_waiting", "") << "\n" << text;
  EXPECT_LT(text.find("reason=pool_next_batch_ready ranges="), text.find("S2 zone de travail en cache"))
      << "the work area was cached before the pool took any frame\n" << text;
  EXPECT_EQ(text.find("S5 pool"), std::string::npos) << "a silent worker delivered a frame";
  EXPECT_EQ(text.find("lot muet TUÉ"), std::string::npos) << "the silent batch was killed first";
  const json* cached = mark(s, "cached");
  ASSERT_TRUE(cached);
  RecordProperty("fill_ms", std::to_string(cached->at("at_ms").get<double>()));
  std::cout << GetParam().name << ": work area cached " << cached->at("at_ms").get<double>() << " ms after start\n";
}

// Playing into the frames of workers that start and never write one, on a
// 2D copy of the sample: the batch holds its frames for its first-delivery
// limit (45 s), yet the picture moves in every five-second report of the
// run, and until the work area is cached frames are made in each of them:
// the frames the playback needs next are rendered in-process. The run
// ends long before the batch gives its frames up.
TEST_P(PoolPreviewRun, PlayingIntoFramesSilentWorkersHoldKeepsThePictureMoving) {
  use_sample(true);
  const json events = json::array(
      {open_panel(), command(0, "velocinta: pool (toggle)"),
       when_logged("DELIVERY use_pool=true reason=pool_next_batch_ready ranges=", 1,
                   {{"action", "mark"}, {"name", "launched"}}),
       when_logged("PIPELINE(5s)", 5, {{"action", "quit"}})});
  auto r = run({"SIM_AERENDER_SILENT=1"}, events, 110.0, path_args());
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
  const json s = summary();
  const std::string text = log();
  ASSERT_TRUE(s.value("quit", false)) << "still waiting for " << s.value("still_waiting", "") << "\n" << text;
  EXPECT_EQ(text.find("S5 pool"), std::string::npos) << "a silent worker delivered a frame";
  const size_t launched = text.find("reason=pool_next_batch_ready ranges=");
  ASSERT_NE(launched, std::string::npos);
  // Made in-process: as the playhead's, or ahead of it when the host's
  // renders keep up with the playback (seen under ASan).
  EXPECT_TRUE(text.find("reason=current_frame", launched) != std::string::npos ||
              text.find("reason=async_prefetch", launched) != std::string::npos)
      << "the playback's frames were never made in-process\n" << text;
  const size_t cached_at = text.find("S2 zone de travail en cache");
  const std::regex produced_re("produced=([0-9]+) sources\\(sync,async,pool,raster\\)=\\[([0-9]+),");
  const std::regex advanced_re("head_advanced=([0-9]+)");
  int windows = 0;
  uint64_t sync = 0;
  std::optional<uint64_t> fewest_made;
  for (size_t at = text.find("PIPELINE(5s)", launched); at != std::string::npos;
       at = text.find("PIPELINE(5s)", at + 1)) {
    const std::string line = text.substr(at, text.find('\n', at) - at);
    std::smatch made, advanced;
    ASSERT_TRUE(std::regex_search(line, made, produced_re) && std::regex_search(line, advanced, advanced_re)) << line;
    ++windows;
    EXPECT_GT(std::stoull(advanced[1]), 0u) << "the picture stood still for five seconds: " << line;
    if (cached_at == std::string::npos || at < cached_at) {
      EXPECT_GT(std::stoull(made[1]), 0u) << "nothing was made for five seconds: " << line;
      fewest_made = std::min<uint64_t>(fewest_made.value_or(UINT64_MAX), std::stoull(made[1]));
      sync += std::stoull(made[2]);
    }
  }
  EXPECT_GE(windows, 4);
  EXPECT_GT(sync, 0u) << "no frame of the playback was rendered in-process";
  RecordProperty("fewest_frames_made_in_a_window", std::to_string(fewest_made.value_or(0)));
  std::cout << GetParam().name << ": fewest frames made in a five-second window before the work area was cached: "
            << fewest_made.value_or(0) << "\n";
}

// A 10-minute composition at 30 frames per second, paused, the pool's
// first batch delivering: three clicks far apart on the cache strip, each made as soon as the one
// before it is on screen, while the disk store still answers for the frames
// around the previous position. Each shows the frame clicked, made by the
// in-process road of the playhead's frame, and the pool's copy of it, if
// any, never enters the cache. The frame bar runs across the picture around
// each of the three frames (at 100 on each bar), so a screenshot says which
// frame is on screen.
TEST_P(PoolPreviewRun, FarClicksOnALongCompositionEachShowTheirFrame) {
  json p = json::parse(read_text(std::string(VEL_DEMO_DIR) + "/sample.aep"));
  json& comp = p["compositions"][0];
  for (auto& layer : comp["layers"]) layer["three_d"] = false;
  comp["frame_duration"] = {1, 30};
  comp["duration"] = {18000, 30};
  comp["work_area"] = {{"start", {0, 30}}, {"duration", {18000, 30}}};
  // Clicks at 500, 800 and 200 points of the 960-point strip: thousandths
  // 521, 833 and 208 of 18000 frames.
  const int frames[] = {9378, 14994, 3744};
  const int xs[] = {500, 800, 200};
  json keys = json::array();
  for (int f : {3744, 9378, 14994}) {
    keys.push_back({{"time", {f - 100, 30}}, {"value", {testing::kBarStart, 540}}, {"interp", "linear"}});
    keys.push_back({{"time", {f + 100, 30}}, {"value", {testing::kBarStart + testing::kBarStep * 200, 540}},
                    {"interp", "linear"}});
  }
  json bar = {{"name", "Frame bar"},
              {"solid", {{"name", "White Solid 1"}, {"color", {1, 1, 1}}, {"width", 12}, {"height", 1080}}},
              {"transform", {{"position", {{"keyframes", keys}}}}}};
  comp["layers"].insert(comp["layers"].begin(), bar);
  write_project(p);
  json events = json::array({open_panel(), command(0, "velocinta: pool (toggle)")});
  pause_before_first_picture(events);
  events.push_back(when_logged("S5 pool : image", 1, {{"action", "wait"}}));
  for (int i = 0; i < 3; ++i) {
    const std::string n = std::to_string(i + 1);
    events.push_back({{"at_ms", 0}, {"action", "mark"}, {"name", "click-" + n}});
    events.push_back({{"at_ms", 0}, {"action", "click"}, {"x", xs[i]}, {"y", 32}});
    events.push_back({{"when", "picture_presented"}, {"action", "mark"}, {"name", "shown-" + n}});
    events.push_back({{"at_ms", 0}, {"action", "screenshot"}, {"path", "click-" + n + ".png"}});
  }
  events.push_back({{"at_ms", 0}, {"action", "quit"}});
  auto r = run({}, events, 110.0, path_args());
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
  const json s = summary();
  const std::string text = log();
  ASSERT_TRUE(s.value("quit", false)) << "still waiting for " << s.value("still_waiting", "") << "\n" << text;
  std::ostringstream figures;
  for (int i = 0; i < 3; ++i) {
    const std::string n = std::to_string(i + 1);
    SCOPED_TRACE("click " + n + " at frame " + std::to_string(frames[i]));
    const std::optional<double> shown =
        testing::frame_on_screen(root_ / "out" / ("click-" + n + ".png"), s["panel"]["picture_rect"]);
    ASSERT_TRUE(shown) << "the frame bar is not on screen";
    EXPECT_NEAR(*shown, 100.0, 0.5) << "another frame than the clicked one is on screen";
    EXPECT_EQ(text.find("S5 pool : image " + std::to_string(frames[i]) + "/30 "), std::string::npos)
        << "the pool's copy replaced the frame";
    const json* click = mark(s, "click-" + n);
    const json* settled = mark(s, "shown-" + n);
    ASSERT_TRUE(click && settled);
    const double ms = settled->at("at_ms").get<double>() - click->at("at_ms").get<double>();
    RecordProperty("click_" + n + "_to_frame_settled_ms", std::to_string(ms));
    figures << " " << ms;
  }
  // The playhead's frame at the start and one for each click.
  size_t made_as_playhead = 0;
  for (size_t at = text.find("reason=current_frame"); at != std::string::npos;
       at = text.find("reason=current_frame", at + 1))
    ++made_as_playhead;
  EXPECT_GE(made_as_playhead, 4u) << text;
  std::cout << GetParam().name << ": far clicks, click to frame settled (ms):" << figures.str() << "\n";
}

INSTANTIATE_TEST_SUITE_P(BothPresentPaths, PoolPreviewRun,
                         ::testing::Values(PoolPath{"cpu", true}, PoolPath{"metal", false}),
                         [](const ::testing::TestParamInfo<PoolPath>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vel
