// simhost end to end, driving the tiny test plug-in: the idle loop and its
// sleep, early idle requests, commands, hidden suites, the scenario, the
// render paths and the summary.

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "project/project_json.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace sim {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kProject = R"({
  "active_comp": "Tiny",
  "compositions": [{
    "name": "Tiny", "width": 64, "height": 32,
    "frame_duration": [1, 24], "duration": [48, 24], "render_cost_ms": %COST%,
    "layers": [{"name": "Red", "solid": {"color": [1, 0, 0]}}]
  }]
})";

using vel::testing::read_text;

class Simhost : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    write_project(0);
  }

  void write_project(int cost_ms) {
    std::string text = kProject;
    text.replace(text.find("%COST%"), 6, std::to_string(cost_ms));
    std::ofstream(root_ / "tiny.aep") << text;
  }

  vel::testing::ChildResult run(std::vector<std::string> extra, std::vector<std::string> env = {}, double seconds = 0.5) {
    std::vector<std::string> args = {"--plugin", VEL_TINY_PLUGIN_PATH, "--project", (root_ / "tiny.aep").string(),
                                     "--seconds", std::to_string(seconds), "--out", (root_ / "out").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    env.push_back("TINY_OUT=" + (root_ / "tiny.json").string());
    env.push_back("HOME=" + root_.string());
    env.push_back("TMPDIR=" + root_.string());
    return vel::testing::run_child(VEL_SIMHOST_PATH, args, env, "", 60);
  }
  json summary() { return json::parse(read_text(root_ / "out" / "summary.json")); }
  json seen() { return json::parse(read_text(root_ / "tiny.json")); }

  vel::testing::ScratchDir scratch_{"simhost-e2e"};
  fs::path root_ = scratch_.path();
};

TEST_F(Simhost, LoopCommandsHooksAndLedger) {
  auto r = run({"--command", "tiny: ping", "--command", "no such command", "--command", "tiny: disabled"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  json s = summary();
  EXPECT_EQ(s["entry_error"], 0);
  EXPECT_EQ(s["hooks"], (json{{"idle", 1}, {"command", 3}, {"update_menu", 1}, {"death", 1},
                              {"output_modules", 0}, {"panels", 0}}));
  EXPECT_EQ(s["smallest_max_sleep_ms"], 15);
  // 0.5 s at a 15 ms sleep: well above a handful, well below a busy loop.
  EXPECT_GT(s["idle_calls"].get<int>(), 10);
  EXPECT_LT(s["idle_calls"].get<int>(), 100);
  EXPECT_EQ(s["death_calls"], 1);

  std::vector<std::string> menus;
  for (const auto& m : s["menu_commands"]) menus.push_back(m["menu"].get<std::string>() + ":" + m["name"].get<std::string>());
  EXPECT_EQ(menus, (std::vector<std::string>{"window:tiny: ping", "window:tiny: render", "purge:tiny: disabled"}));

  const json& runs = s["commands_run"];
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_TRUE(runs[0]["handled"].get<bool>());
  EXPECT_FALSE(runs[1]["found"].get<bool>());
  EXPECT_TRUE(runs[2]["found"].get<bool>());
  EXPECT_FALSE(runs[2]["enabled"].get<bool>()) << "disabled by the update-menu hook before it ran";
  EXPECT_FALSE(runs[2]["handled"].get<bool>());

  json t = seen();
  EXPECT_EQ(t["ping"], 1);
  EXPECT_EQ(t["update_menu"], 3);
  EXPECT_EQ(t["idle"], s["idle_calls"]);
  for (const char* suite : {"AEGP Register Suite", "AEGP Command Suite", "AEGP Utility Suite"}) {
    EXPECT_EQ(s["suites"][suite]["acquired"], s["suites"][suite]["released"]) << suite;
    EXPECT_GT(s["suites"][suite]["acquired"].get<int>(), 0) << suite;
  }
  EXPECT_EQ(s["live_at_end"]["suites"], 0);
}

TEST_F(Simhost, HiddenSuitesFailToAcquire) {
  auto r = run({"--hide-suite", "AEGP Utility Suite"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  json s = summary();
  EXPECT_EQ(s["suites"]["AEGP Utility Suite"]["acquired"], 0);
  EXPECT_EQ(s["suites"]["AEGP Utility Suite"]["refused"], 1);
  EXPECT_EQ(seen()["utility"], false);

  // Without the Register suite the tiny plug-in's entry fails: the host says
  // so in its exit status and summary, and calls no hook.
  fs::remove_all(root_ / "out");
  r = run({"--hide-suite", "AEGP Register Suite"});
  EXPECT_EQ(r.exit_code, 1) << r.output;
  s = summary();
  EXPECT_EQ(s["entry_error"], 13);
  EXPECT_EQ(s["idle_calls"], 0);
  EXPECT_EQ(s["death_calls"], 0);
}

TEST_F(Simhost, EarlyIdleRequestsCutTheSleepShort) {
  // A hook may only lower the host's 100 ms sleep, never raise it: asking
  // for 5 s leaves about ten calls a second, unless the plug-in's waker
  // thread asks for early calls every 20 ms.
  auto r = run({}, {"TINY_MAX_SLEEP=5000", "TINY_WAKER_MS=20"}, 1.0);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  json s = summary();
  EXPECT_GT(s["early_idle_requests"].get<int>(), 20);
  EXPECT_GT(s["idle_calls"].get<int>(), 25);
  EXPECT_EQ(s["smallest_max_sleep_ms"], 5000);

  fs::remove_all(root_ / "out");
  r = run({}, {"TINY_MAX_SLEEP=5000"}, 1.0);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_LE(summary()["idle_calls"].get<int>(), 12) << "without requests the host sleeps its full time";
}

TEST_F(Simhost, ScenarioShowsModalEditsAndSaves) {
  std::ofstream(root_ / "scenario.json") << R"({"events": [
    {"at_ms": 100, "action": "show_modal"},
    {"at_ms": 250, "action": "close_modal"},
    {"at_ms": 300, "action": "edit", "pointer": "/compositions/0/width", "value": 128},
    {"at_ms": 320, "action": "edit", "pointer": "/compositions/0/width", "value": "wide"},
    {"at_ms": 350, "action": "command", "name": "tiny: ping"},
    {"at_ms": 400, "action": "save", "path": "copy.aep"}
  ]})";
  auto r = run({"--scenario", (root_ / "scenario.json").string()});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  json s = summary();
  EXPECT_EQ(s["scenario_events"], 6);
  EXPECT_EQ(s["modal_windows"], 1);
  ASSERT_EQ(s["scenario_failures"].size(), 1u) << s["scenario_failures"].dump();
  EXPECT_NE(s["scenario_failures"][0].get<std::string>().find("edit at 320 ms"), std::string::npos);
  EXPECT_TRUE(s["project"]["dirty"].get<bool>());

  json t = seen();
  EXPECT_GT(t["idle_modal"].get<int>(), 0) << "idle goes on while a modal window is shown";
  EXPECT_LT(t["idle_modal"].get<int>(), t["idle"].get<int>());
  EXPECT_EQ(t["ping"], 1);

  Result<Project> copy = load_project_file((root_ / "out" / "copy.aep").string());
  ASSERT_TRUE(copy.ok()) << copy.error();
  EXPECT_EQ(copy.value().comps[0].width, 128);
}

// "quit" ends the loop well before the bound; an event waiting for a
// condition that never holds keeps the later ones back until the bound, and
// the summary names what it waited for.
TEST_F(Simhost, ScenarioQuitsOrWaitsForItsConditions) {
  struct Case {
    const char* events;
    bool quit;
    const char* still_waiting;
    int pings;
  };
  const Case cases[] = {
      {R"({"at_ms": 0, "action": "command", "name": "tiny: ping"}, {"at_ms": 0, "action": "quit"})", true, "", 1},
      {R"({"when": "text:Never", "action": "command", "name": "tiny: ping"}, {"at_ms": 0, "action": "quit"})", false,
       "text:Never", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.events);
    std::ofstream(root_ / "scenario.json") << R"({"events": [)" << c.events << "]}";
    auto r = run({"--scenario", (root_ / "scenario.json").string()}, {}, c.quit ? 30.0 : 0.5);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    json s = summary();
    EXPECT_EQ(s["quit"], c.quit);
    EXPECT_EQ(s["still_waiting"], c.still_waiting);
    EXPECT_EQ(s["death_calls"], 1) << "the death hooks run after a quit too";
    EXPECT_EQ(seen().value("ping", 0), c.pings);
    if (c.quit) {
      EXPECT_LT(s["seconds_run"].get<double>(), 30.0);
    }
  }
}

TEST_F(Simhost, RendersSynchronouslyAndAsynchronously) {
  // A render costs 300 ms, so the second asynchronous request is still queued
  // when the plug-in cancels it.
  write_project(300);
  auto r = run({"--command", "tiny: render"}, {}, 1.0);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  json t = seen();
  EXPECT_EQ(t["sync_w"], 32);  // 64 x 32 at downsample 2
  EXPECT_EQ(t["sync_h"], 16);
  EXPECT_EQ(t["sync_rowbytes"], 192);  // 128 bytes of pixels, padded
  EXPECT_EQ(t["sync_first_argb"], 0xFFFF0000);
  EXPECT_EQ(t["async_done"], 2);
  EXPECT_EQ(t["async_cancelled"], 1);
  EXPECT_EQ(t["async_with_world"], 1);

  json s = summary();
  EXPECT_EQ(s["renders"]["sync"], 1);
  EXPECT_EQ(s["renders"]["async"], 1);
  EXPECT_EQ(s["renders"]["cancelled"], 1);
  EXPECT_EQ(s["live_at_end"]["receipts"], 0);
  EXPECT_EQ(s["live_at_end"]["render_options"], 0);
}

TEST_F(Simhost, RefusesToStartWithoutAUsableProjectOrPlugin) {
  std::ofstream(root_ / "bad.aep") << R"({"compositions": [{"name": "x"}]})";
  auto r = run({"--project", (root_ / "bad.aep").string()});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.output.find("compositions[0]: missing \"width\""), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(root_ / "out" / "summary.json"));

  r = vel::testing::run_child(VEL_SIMHOST_PATH,
                              {"--plugin", (root_ / "none.so").string(), "--project", (root_ / "tiny.aep").string()},
                              {}, "", 60);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.output.find("cannot load"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace sim
