// What the user sees while the pool runs, with every switch at its default,
// on both present paths: a click at a frame the batch has not delivered yet
// shows that frame without waiting for the pool, whose copy, when it comes,
// replaces nothing; and workers that never write a frame do not keep the
// work area from being cached, since what the pool gives up is rendered
// in-process. The runs follow what happens, not the clock; the times they
// print are figures to read, not limits.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "plugin/frame_bar.h"
#include "plugin/simhost_pool_run.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::read_text;

struct PresentPath {
  const char* name;
  bool no_gpu;
};

class PoolPreviewRun : public testing::SimhostPoolRun, public ::testing::WithParamInterface<PresentPath> {
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
};

// Paused, with the pool delivering its first frames, a click on the cache
// strip at frame 200 (five sixths along), which the pool reaches late: the
// picture shows frame 200 once it settles, and the pool's copy of it, when
// one comes, never enters the cache. The 2D copy of the sample: on the 3D
// one the pool starts no worker while the host's render manager works, and
// that one then fills the work area alone.
TEST_P(PoolPreviewRun, AClickAtAFrameThePoolHasNotDeliveredShowsItWithoutWaitingForThePool) {
  use_sample(true);
  const json events = json::array(
      {open_panel(), command(0, "velocinta: pool (toggle)"), json{{"when", {{"frames", 1}}}, {"action", "pause"}},
       when_logged("S5 pool : image", 1, {{"action", "mark"}, {"name", "click"}}),
       json{{"at_ms", 0}, {"action", "click"}, {"x", 801}, {"y", 32}},
       json{{"when", {{"frames", 1}}}, {"action", "mark"}, {"name", "first"}},
       json{{"when", "picture_presented"}, {"action", "mark"}, {"name", "shown"}},
       json{{"at_ms", 0}, {"action", "screenshot"}, {"path", "clicked.png"}},
       when_logged("S2 zone de travail en cache", 1, {{"action", "quit"}})});
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

INSTANTIATE_TEST_SUITE_P(BothPresentPaths, PoolPreviewRun,
                         ::testing::Values(PresentPath{"cpu", true}, PresentPath{"metal", false}),
                         [](const ::testing::TestParamInfo<PresentPath>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vel
