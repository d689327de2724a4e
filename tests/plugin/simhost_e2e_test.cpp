// The plug-in loaded by the stand-in host, end to end: start-up modes, the
// log, commands, hooks and the suite ledger as the host saw them.

#include <gtest/gtest.h>

#include <fstream>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "support/child_process.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using testing::read_text;

// Threads of the plug-in are named "velocinta-…", shortened to "vel-…" for the OS.
std::vector<std::string> plugin_threads(const json& summary) {
  std::vector<std::string> left;
  for (const auto& name : summary["threads_after_death"]) {
    std::string n = name.get<std::string>();
    if (n.rfind("vel-", 0) == 0 || n.rfind("velocinta", 0) == 0) left.push_back(n);
  }
  return left;
}

size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class SimhostRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    home_ = root_ / "home";
    fs::create_directories(home_);
    fs::create_directories(root_ / "tmp");
    fs::create_directories(root_ / "out");
    fs::create_directories(root_ / "cwd");
  }
  // Runs simhost on the sample project; `home` may be "" (unset).
  testing::ChildResult run(std::vector<std::string> env, std::vector<std::string> extra_args,
                           const std::string& home = "<default>", double seconds = 0.6) {
    std::vector<std::string> args = {"--plugin", VEL_PLUGIN_PATH, "--project", std::string(VEL_DEMO_DIR) + "/sample.aep",
                                     "--seconds", std::to_string(seconds), "--out", (root_ / "out").string()};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    if (home == "<default>") env.push_back("HOME=" + home_.string());
    else if (!home.empty()) env.push_back("HOME=" + home);
    env.push_back("TMPDIR=" + (root_ / "tmp").string());
    return testing::run_child(VEL_SIMHOST_PATH, args, env, (root_ / "cwd").string(), 60);
  }
  json summary() { return json::parse(read_text(root_ / "out" / "summary.json")); }
  fs::path log_path() { return home_ / "Library" / "Logs" / "velocinta.log"; }

  testing::ScratchDir scratch_{"vel-e2e"};
  fs::path root_ = scratch_.path();
  fs::path home_;
};

TEST_F(SimhostRun, NormalStartLogsLoadsRegistersAndBalancesTheLedger) {
  auto r = run({}, {});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::string log = read_text(log_path());
  EXPECT_NE(log.find("] INFO: velocinta "), std::string::npos) << log;
  EXPECT_NE(log.find("mode normal"), std::string::npos) << log;

  json s = summary();
  EXPECT_EQ(s["entry_error"], 0);
  EXPECT_EQ(s["hooks"]["idle"], 1);
  EXPECT_EQ(s["hooks"]["death"], 1);
  EXPECT_EQ(s["hooks"]["update_menu"], 1);
  EXPECT_EQ(s["death_calls"], 1);
  EXPECT_GT(s["idle_calls"].get<int>(), 5);
  EXPECT_EQ(s["smallest_max_sleep_ms"], 15);
  EXPECT_TRUE(plugin_threads(s).empty()) << s["threads_after_death"].dump();
  std::vector<std::string> menus;
  for (const auto& m : s["menu_commands"]) menus.push_back(m["menu"].get<std::string>() + ":" + m["name"].get<std::string>());
  EXPECT_EQ(menus, (std::vector<std::string>{"window:Velocinta", "purge:Purge Velocinta"}));

  // Every suite acquired is released, except the ones kept for the process.
  const std::set<std::string> kept = {"AEGP Utility Suite", "AEGP Render Suite", "AEGP Render Options Suite",
                                      "AEGP World Suite", "AEGP Render Async Manager Suite"};
  for (const auto& [name, ledger] : s["suites"].items()) {
    int64_t open = ledger["acquired"].get<int64_t>() - ledger["released"].get<int64_t>();
    EXPECT_EQ(ledger["bad_releases"], 0) << name;
    if (kept.count(name)) {
      EXPECT_LE(open, 1) << name;
    } else {
      EXPECT_EQ(open, 0) << name;
    }
  }
}

TEST_F(SimhostRun, PoolWorkerMarkMakesThePluginInert) {
  auto r = run({"VELOCINTA_POOL_WORKER=1"}, {});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_FALSE(fs::exists(home_ / "Library")) << "an inert plug-in writes no file";
  json s = summary();
  EXPECT_EQ(s["entry_error"], 0);
  for (const char* hook : {"idle", "death", "update_menu", "command", "panels"}) EXPECT_EQ(s["hooks"][hook], 0) << hook;
  EXPECT_TRUE(s["menu_commands"].empty());
}

TEST_F(SimhostRun, DeveloperCommandsAppearAndPingAnswers) {
  auto r = run({"VELOCINTA_DEV=1"}, {"--command", "velocinta: ping"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  json s = summary();
  EXPECT_EQ(s["menu_commands"].size(), 11u);
  ASSERT_EQ(s["commands_run"].size(), 1u);
  EXPECT_TRUE(s["commands_run"][0]["handled"].get<bool>());
  EXPECT_EQ(count_of(read_text(log_path()), "INFO: velocinta: pong"), 1u);

  // "0" is off.
  fs::remove_all(root_ / "out");
  fs::create_directories(root_ / "out");
  ASSERT_EQ(run({"VELOCINTA_DEV=0"}, {}).exit_code, 0);
  EXPECT_EQ(summary()["menu_commands"].size(), 2u);
}

TEST_F(SimhostRun, HiddenSuiteIsLoggedOnceAndStartUpGoesOn) {
  auto r = run({}, {"--hide-suite", "AEGP Proj Suite"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::string log = read_text(log_path());
  EXPECT_EQ(count_of(log, "Suite not found: AEGP_ProjSuite9, kAEGPProjSuite, kAEGPProjSuiteVersion9"), 1u) << log;
  json s = summary();
  EXPECT_EQ(s["entry_error"], 0);
  EXPECT_EQ(s["hooks"]["idle"], 1);
  EXPECT_GT(s["idle_calls"].get<int>(), 5);
}

TEST_F(SimhostRun, ProbeModeKeepsIdleCallsComingAndRegistersNoCommand) {
  auto r = run({"VELOCINTA_PROBE=idle"}, {});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(read_text(log_path()).find("mode probe"), std::string::npos);
  json s = summary();
  EXPECT_TRUE(s["menu_commands"].empty());
  EXPECT_EQ(s["hooks"]["idle"], 1);
  EXPECT_GT(s["early_idle_requests"].get<int>(), 0);
  EXPECT_TRUE(plugin_threads(s).empty()) << s["threads_after_death"].dump();
}

TEST_F(SimhostRun, UnusableHomeWritesNothingAnywhere) {
  for (const std::string home : {"", "relative/home"}) {
    SCOPED_TRACE(home.empty() ? "(unset)" : home);
    auto r = run({}, {}, home);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(fs::is_empty(root_ / "cwd")) << "nothing may land relative to the working directory";
    EXPECT_EQ(summary()["hooks"]["idle"], 1);
  }
}

}  // namespace
}  // namespace vel

namespace vel {
namespace {

TEST_F(SimhostRun, FramesAreRenderedInProcessOnBothPaths) {
  struct Case {
    const char* async_switch;
    bool async_expected;
  } cases[] = {{"VELOCINTA_ASYNC=1", true}, {"VELOCINTA_ASYNC=0", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.async_switch);
    auto r = run({c.async_switch}, {}, "<default>", 1.5);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    json renders = summary()["renders"];
    EXPECT_GT(renders["sync"].get<int>(), 0);
    EXPECT_EQ(renders["async"].get<int>() > 0, c.async_expected) << renders.dump();
    EXPECT_NE(read_text(log_path()).find("INFO: preview: frames sync="), std::string::npos);
  }
}

// Opening the preview shows cached frames through "velocinta-pixels" while
// the clock plays; the measured times reach the DELIVERY line; the workers
// and the pacemaker are gone after the death hook.
TEST_F(SimhostRun, OpenPreviewPlaysCachedFramesThroughThePixelWorker) {
  auto r = run({"VELOCINTA_PERF=1", "VELOCINTA_METAL=0"}, {"--command", "Velocinta"}, "<default>", 2.0);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  json s = summary();
  // The floating panel's picture and its cache strip.
  EXPECT_EQ(s["display"]["views_created"].get<int>(), 2) << s["display"].dump();
  EXPECT_GT(s["panel"]["picture"]["frames_shown"].get<int>(), 1) << s["panel"].dump();
  EXPECT_TRUE(plugin_threads(s).empty()) << s["threads_after_death"].dump();
  const std::string log = read_text(log_path());
  EXPECT_NE(log.find("PERF: DELIVERY use_pool=false reason="), std::string::npos);
  EXPECT_NE(log.find(" level_ms(sync,async)=["), std::string::npos);
}

// The docked panel (created by the host from the scenario) and, without the
// Workspace Panel suite, the floating window of the "Velocinta" command both
// show frames and are drawn into a PNG.
TEST_F(SimhostRun, DockedPanelAndFloatingFallbackBothShowFramesAndDraw) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* first_event;
    size_t docked;
  };
  const Case cases[] = {
      {"docked", {}, R"({"at_ms": 0, "action": "open_panel", "width": 640, "height": 400, "scale": 1})", 1},
      {"floating", {"--hide-suite", "AEGP Workspace Panel Suite", "--command", "Velocinta"},
       R"({"at_ms": 0, "action": "key", "chars": "i"})", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path scenario = root_ / (std::string(c.name) + ".json");
    {
      std::ofstream out(scenario);
      out << R"({"events": [)" << c.first_event
          << R"(, {"at_ms": 1200, "action": "screenshot", "path": "shot.png"}]})";
    }
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--scenario", scenario.string()});
    auto r = run({"VELOCINTA_METAL=0"}, args, "<default>", 1.5);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    json s = summary();
    EXPECT_TRUE(s["scenario_failures"].empty()) << s["scenario_failures"].dump();
    ASSERT_EQ(s["panel"]["docked"].size(), c.docked);
    if (c.docked > 0) {
      EXPECT_EQ(s["panel"]["docked"][0]["title"], "Velocinta");
      EXPECT_EQ(s["panel"]["docked"][0]["snap_sizes"], 0);
    }
    EXPECT_GT(s["panel"]["picture"]["frames_shown"].get<int>(), 0) << s["panel"].dump();
    const std::string png = read_text(root_ / "out" / "shot.png");
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
    EXPECT_TRUE(plugin_threads(s).empty()) << s["threads_after_death"].dump();
    fs::remove(root_ / "out" / "shot.png");
  }
}

TEST_F(SimhostRun, GrabFrameWritesTheCurrentFrameAsPpm) {
  auto r = run({"VELOCINTA_DEV=1"}, {"--command", "velocinta: grab frame"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  fs::path ppm = home_ / "Library" / "Logs" / "velocinta_grab.ppm";
  ASSERT_TRUE(fs::exists(ppm)) << read_text(log_path());
  std::string bytes = read_text(ppm);
  // The sample is 1920×1080; the default quality previews at a quarter.
  const std::string header = "P6\n480 270\n255\n";
  ASSERT_EQ(bytes.compare(0, header.size(), header), 0) << bytes.substr(0, 20);
  EXPECT_EQ(bytes.size(), header.size() + 480u * 270u * 3u);
}

}  // namespace
}  // namespace vel
