// The plug-in loaded by the stand-in host, end to end: start-up modes, the
// log, commands, hooks and the suite ledger as the host saw them.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>

#include "core/machine.h"
#include "plugin/scan_budget.h"
#include "pool/schedule/worker_capacity.h"
#include "store/frame_file.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using testing::read_text;

// Threads of the plug-in are named "velocinta-…", shortened to "vel-…" for the OS.
// The update check has no stop signal and lives until the process ends; every
// other thread must be gone after the death hook.
std::vector<std::string> plugin_threads(const json& summary) {
  std::vector<std::string> left;
  for (const auto& name : summary["threads_after_death"]) {
    std::string n = name.get<std::string>();
    if (n == "vel-update") continue;
    if (n.rfind("vel-", 0) == 0 || n.rfind("velocinta", 0) == 0) left.push_back(n);
  }
  return left;
}

size_t count_needles(const std::string& text, const std::string& needle) {
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
    return testing::run_child(VEL_SIMHOST_PATH, args, env, (root_ / "cwd").string(), std::max(60.0, seconds + 30));
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
  EXPECT_NE(s["threads_after_death"].dump().find("\"vel-update\""), std::string::npos)
      << "the update check runs in normal mode";
  std::vector<std::string> menus;
  for (const auto& m : s["menu_commands"]) menus.push_back(m["menu"].get<std::string>() + ":" + m["name"].get<std::string>());
  EXPECT_EQ(menus, (std::vector<std::string>{"window:Velocinta", "purge:Purge Velocinta"}));

  // Every suite acquired is released, except the ones kept for the process.
  // The raster decision's scan keeps the Footage suite (solid signatures) and
  // the Layer suite's newer version (object types).
  const std::set<std::string> kept = {"AEGP Utility Suite", "AEGP Render Suite", "AEGP Render Options Suite",
                                      "AEGP World Suite", "AEGP Render Async Manager Suite",
                                      "AEGP Footage Suite", "AEGP Layer Suite"};
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

// The saved Speed stays within the levels this machine offers at the saved
// Size, and the load line tells the worker count asked for.
TEST_F(SimhostRun, SavedSpeedKeepsWithinTheMachineLevels) {
  const fs::path options = home_ / "Library" / "Application Support" / "velocinta" / "panel_options.json";
  fs::create_directories(options.parent_path());
  {
    std::ofstream(options) << R"({"quality":3,"speed":3,"autosave":true,"depth":8})";
  }
  auto r = run({"VELOCINTA_POOL_WORKERS=30"}, {});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const MemoryAndCpu m = memory_and_cpu_count();
  const uint64_t speed = std::min<uint64_t>(3, speed_level_for(MachineFacts{m.memory_bytes, m.cpu_count}, 3) - 1);
  const std::string log = read_text(log_path());
  EXPECT_NE(log.find("mode normal, workers 24)"), std::string::npos) << log;
  EXPECT_NE(log.find(R"(INFO: options: {"quality":3,"speed":)" + std::to_string(speed) + R"(,"autosave":true,"depth":8})"),
            std::string::npos)
      << log;
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
  EXPECT_EQ(count_needles(read_text(log_path()), "INFO: velocinta: pong"), 1u);

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
  EXPECT_EQ(count_needles(log, "Suite not found: AEGP_ProjSuite9, kAEGPProjSuite, kAEGPProjSuiteVersion9"), 1u) << log;
  json s = summary();
  EXPECT_EQ(s["entry_error"], 0);
  EXPECT_EQ(s["hooks"]["idle"], 1);
  EXPECT_GT(s["idle_calls"].get<int>(), 5);
}

// A suite the host lacks is asked for on every idle call; the log must stay
// readable however long that lasts: one line when it starts, its count when
// the plug-in quits, whatever the number of idle calls in between.
TEST_F(SimhostRun, SuiteMissingOnEveryIdleCallIsLoggedOnceThenCounted) {
  struct Case {
    const char* suite;
    const char* line;
  } cases[] = {
      {"AEGP Item Suite", "Suite not found: AEGP_ItemSuite14, kAEGPItemSuite, kAEGPItemSuiteVersion14"},
      {"AEGP Utility Suite", "Suite not found: AEGP_UtilitySuite13, kAEGPUtilitySuite, kAEGPUtilitySuiteVersion13"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.suite);
    fs::remove_all(home_ / "Library");
    auto r = run({}, {"--hide-suite", c.suite}, "<default>", 1.5);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const int idle_calls = summary()["idle_calls"].get<int>();
    ASSERT_GT(idle_calls, 40) << "enough idle calls to have flooded the log before";
    const std::string log = read_text(log_path());
    EXPECT_EQ(count_needles(log, "ERROR: " + std::string(c.line) + "\n"), 1u) << log;
    EXPECT_EQ(count_needles(log, "ERROR: " + std::string(c.line) + " (repeated "), 1u) << "the count comes at quit\n"
                                                                               << log;
    EXPECT_LT(count_needles(log, "\n"), 20u) << log;
  }
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

// The disk store across runs of the host: the second run on the same home
// reloads what the first saved instead of rendering it, and "Purge
// Velocinta" leaves no store folder behind.
TEST_F(SimhostRun, SecondRunReloadsFramesFromDiskAndPurgeRemovesTheStore) {
  auto rendered = [&] {
    json s = summary();
    return s["renders"]["sync"].get<int64_t>() + s["renders"]["async"].get<int64_t>();
  };
  const fs::path store = home_ / "Library" / "Caches" / "velocinta" / "framestore-fast-v1";
  // Each run ends once a dozen frames have reached the picture, however
  // long that takes (the seconds only bound a run that hangs): what the
  // first run showed went to the store, and the second run shows the same
  // frames first.
  const fs::path twelve_frames = root_ / "twelve-frames.json";
  std::ofstream(twelve_frames) << R"({"events": [{"when": {"frames": 12}, "action": "quit"}]})";
  const std::vector<std::string> play_twelve = {"--command", "Velocinta", "--scenario", twelve_frames.string(), "--no-gpu"};
  ASSERT_EQ(run({}, play_twelve, "<default>", 120).exit_code, 0);
  EXPECT_TRUE(summary()["quit"].get<bool>()) << summary()["still_waiting"];
  const int64_t first = rendered();
  ASSERT_GT(first, 0);
  // The first frame file with pixels, with one byte changed where the
  // block still decodes to the exact length (its last literal): the next
  // run must not show it, but make the frame again and rewrite the file.
  size_t files = 0;
  std::optional<std::pair<int32_t, fs::path>> changed;
  for (auto& e : fs::recursive_directory_iterator(store)) {
    if (e.path().extension() != ".vnf") continue;
    ++files;
    const std::string bytes = read_text(e.path());
    auto frame = parse_frame_file(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    if (frame && (!changed || frame->key.value < changed->first)) changed.emplace(frame->key.value, e.path());
  }
  EXPECT_GT(files, 0u);
  ASSERT_TRUE(changed);
  const std::string original = read_text(changed->second);
  std::string spoiled = original;
  spoiled[spoiled.size() - kFrameCheckBytes - 1] ^= 0x40;
  std::ofstream(changed->second, std::ios::binary | std::ios::trunc) << spoiled;

  ASSERT_EQ(run({}, play_twelve, "<default>", 120).exit_code, 0);
  EXPECT_TRUE(summary()["quit"].get<bool>()) << summary()["still_waiting"];
  const std::string log = read_text(log_path());
  const size_t last = log.rfind("S9 disque : ");
  ASSERT_NE(last, std::string::npos) << log;
  const int64_t reloaded = std::stoll(log.substr(last + std::string("S9 disque : ").size()));
  EXPECT_GT(reloaded, 0) << log.substr(last);
  EXPECT_LE(reloaded + rendered(), 240) << "no frame of the work area is both reloaded and rendered";
  const std::string rewritten = read_text(changed->second);
  EXPECT_NE(rewritten, spoiled) << "frame " << changed->first << " is written again";
  auto pixels = [](const std::string& bytes) {
    auto f = parse_frame_file(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    return f ? std::vector<uint8_t>(f->pixels.data(), f->pixels.data() + f->pixels.size()) : std::vector<uint8_t>();
  };
  EXPECT_FALSE(pixels(rewritten).empty());
  EXPECT_EQ(pixels(rewritten), pixels(original)) << "the frame made again is the right picture";

  const fs::path scenario = root_ / "purge.json";
  std::ofstream(scenario) << R"({"events": [{"at_ms": 300, "action": "command", "name": "Purge Velocinta"}]})";
  ASSERT_EQ(run({}, {"--command", "Velocinta", "--scenario", scenario.string()}, "<default>", 0.8).exit_code, 0);
  EXPECT_FALSE(fs::exists(store)) << "purged, and not written again for the same project";
  EXPECT_TRUE(plugin_threads(summary()).empty()) << summary()["threads_after_death"].dump();
}

// Frames rendered while the project has unsaved changes belong to no saved
// state: none lands in the saved file's stream, and the save opens a new one.
TEST_F(SimhostRun, AnEditClosesTheStreamAndASaveOpensTheNewState) {
  const fs::path project = root_ / "project.aep";
  fs::copy_file(fs::path(VEL_DEMO_DIR) / "sample.aep", project);
  const fs::path scenario = root_ / "edit.json";
  std::ofstream(scenario) << R"({"events": [
    {"at_ms": 300, "action": "edit", "pointer": "/compositions/0/layers/3/solid/color", "value": [0.9, 0.2, 0.1]},
    {"at_ms": 700, "action": "save"}]})";
  ASSERT_EQ(run({}, {"--project", project.string(), "--scenario", scenario.string()}, "<default>", 2.0).exit_code, 0);
  EXPECT_EQ(count_needles(read_text(log_path()), "S9 disque : flux ouvert"), 2u) << read_text(log_path());

  std::vector<fs::path> streams;
  const fs::path main = home_ / "Library" / "Caches" / "velocinta" / "framestore-fast-v1" / "Main";
  for (auto& e : fs::directory_iterator(main)) streams.push_back(e.path());
  ASSERT_EQ(streams.size(), 2u);
  // The playhead's frame is rendered first in both states: before the edit
  // it went to the first stream, after the save to the second, and the two
  // differ by the backdrop's new colour.
  std::vector<std::vector<uint8_t>> pixels;
  for (const fs::path& dir : streams) {
    const std::string bytes = read_text(dir / "v0_s24.vnf");
    auto frame = parse_frame_file(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    ASSERT_TRUE(frame) << dir;
    pixels.emplace_back(frame->pixels.data(), frame->pixels.data() + frame->pixels.size());
  }
  EXPECT_NE(pixels[0], pixels[1]);
}

// Closing the preview keeps the composition's measured render costs; the
// next run starts from them.
TEST_F(SimhostRun, ClosingThePreviewSavesTheCostProfileAndTheNextRunReloadsIt) {
  const fs::path scenario = root_ / "toggle.json";
  std::ofstream(scenario) << R"({"events": [{"at_ms": 100, "action": "command", "name": "Velocinta"},
                                           {"at_ms": 700, "action": "command", "name": "Velocinta"}]})";
  ASSERT_EQ(run({}, {"--scenario", scenario.string()}, "<default>", 1.0).exit_code, 0);
  const fs::path profile = home_ / "Library" / "Application Support" / "velocinta" / "cost-fast-v1" / "Main.json";
  const json figures = json::parse(read_text(profile));
  ASSERT_TRUE(figures.is_array());
  EXPECT_EQ(figures.size(), 5u);
  EXPECT_TRUE(plugin_threads(summary()).empty()) << "the cleanup thread ends at death";

  ASSERT_EQ(run({}, {}, "<default>", 0.3).exit_code, 0);
  EXPECT_EQ(count_needles(read_text(log_path()), "profil de coût rechargé : "), 1u) << read_text(log_path());
}

}  // namespace
}  // namespace vel

namespace vel {
namespace {

// The developer command writes what the raster renderer sees of the active
// composition, and gives back everything it took from the host.
TEST_F(SimhostRun, DumpCompWritesTheExpectedDocument) {
  auto r = run({"VELOCINTA_DEV=1"}, {"--command", "velocinta: dump comp", "--command", "velocinta: dump comp"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string expected =
      read_text(fs::path(VEL_RASTER_EXPECTED_DIR) / "sample_comp_dump.json");
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(read_text(home_ / "Library" / "Logs" / "velocinta_comp_dump.json"), expected);
  EXPECT_EQ(read_text(log_path()).find("ERROR"), std::string::npos) << read_text(log_path());
  json s = summary();
  for (const char* kind : {"stream_refs", "effect_refs", "stream_values", "mem_handles"}) {
    EXPECT_EQ(s["live_at_end"][kind], 0) << kind;
    EXPECT_EQ(s["bad_releases"][kind], 0) << kind;
  }
  for (const char* suite : {"AEGP Stream Suite", "AEGP Dynamic Stream Suite", "AEGP Effect Suite", "AEGP Item Suite"}) {
    EXPECT_EQ(s["suites"][suite]["acquired"], s["suites"][suite]["released"]) << suite;
  }
}

// Calls failing inside the host: the dump carries their texts, and the host
// still gets back everything it handed out.
TEST_F(SimhostRun, DumpCompUnderFailingCallsKeepsTheLedgerBalanced) {
  auto r = run({"VELOCINTA_DEV=1"}, {"--command", "velocinta: dump comp", "--fail-call", "GetLayerFlags=12345",
                                     "--fail-call", "GetKeyframeTime=3", "--fail-call", "GetStreamIsModified=1"});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const std::string dump = read_text(home_ / "Library" / "Logs" / "velocinta_comp_dump.json");
  for (const char* text : {"field_error(flags: Unknown enum value Error: 12345)", "unknown_layer_visibility",
                           "field_error(position: kf_time[0] Parameter)", "field_error(layer_groups: Generic)"}) {
    EXPECT_NE(dump.find(text), std::string::npos) << text;
  }
  json s = summary();
  for (const char* kind : {"stream_refs", "effect_refs", "stream_values", "mem_handles"}) {
    EXPECT_EQ(s["live_at_end"][kind], 0) << kind;
    EXPECT_EQ(s["bad_releases"][kind], 0) << kind;
  }
}

}  // namespace
}  // namespace vel

// The stand-in host's own renderer, to compare the raster grab with.
#include "project/project_json.h"
#include "render/renderer.h"

namespace vel {
namespace {

constexpr const char* kRasterProject = R"({"active_comp": "R", "compositions": [{"name": "R",
  "width": 320, "height": 240, "frame_duration": [1, 25], "duration": [50, 25],
  "layers": [
    {"name": "Top", "blend_mode": "screen", "solid": {"color": [0.2, 0.8, 0.4], "width": 120, "height": 90},
     "transform": {"position": [160, 120], "rotation": 25, "opacity": 75}},
    {"name": "Mid", "blend_mode": "multiply", "solid": {"color": [0.9, 0.5, 0.1], "width": 200, "height": 100},
     "transform": {"anchor": [0, 0], "position": [40, 30], "scale": [110, 140]}},
    {"name": "Back", "solid": {"color": [0.1, 0.2, 0.7], "width": 320, "height": 240},
     "transform": {"opacity": 90}}]}]})";

// Colour channels of a grab's PPM pixels more than 1 away from the stand-in
// host's own render of `comp` at `t` (a size mismatch counts as all off).
size_t ppm_channels_off(const sim::Composition& comp, sim::HostTime t, int32_t ds, const std::string& rgb) {
  sim::RenderRequest req;
  req.time = t;
  req.downsample_x = req.downsample_y = ds;
  auto host = sim::render_composition(comp, req);
  if (!host.ok() || host.value().rgba.size() / 4 * 3 != rgb.size()) return rgb.size() + 1;
  size_t off = 0;
  for (size_t p = 0; p < rgb.size() / 3; ++p) {
    for (size_t ch = 0; ch < 3; ++ch) {
      const int ours = static_cast<uint8_t>(rgb[p * 3 + ch]);
      off += std::abs(ours - int(sim::to_8bit(host.value().rgba[p * 4 + ch]))) > 1;
    }
  }
  return off;
}

// A composition of solids that the raster renderer takes: the grab draws it
// without the host (whose renders all fail here) and shows what the host
// would have drawn.
TEST_F(SimhostRun, RasterCompositionIsGrabbedByThePluginItself) {
  const fs::path project = root_ / "raster.aep";
  const fs::path scenario = root_ / "grab.json";
  {
    std::ofstream(project) << kRasterProject;
    std::ofstream(scenario) << R"({"events": [{"at_ms": 300, "action": "command", "name": "velocinta: grab frame"}]})";
  }
  std::string log;
  for (int attempt = 0; attempt < 5; ++attempt) {
    fs::remove(log_path());
    auto r = run({"VELOCINTA_DEV=1", "VELOCINTA_RASTER=1", "VELOCINTA_PERF=1"},
                 {"--project", project.string(), "--scenario", scenario.string(), "--fail-call",
                  "RenderAndCheckoutFrame=1"},
                 "<default>", 0.8);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    log = read_text(log_path());
    if (!testing::scan_cut_short(log)) break;
  }
  EXPECT_NE(log.find("PREVIEW_SCAN layers=3 complete=true gpu=false full_introspection=true"), std::string::npos) << log;
  EXPECT_NE(log.find("PREVIEW_PROFILE renderer=raster bpc=8 motion_blur=off layers=3"), std::string::npos) << log;

  const std::string bytes = read_text(home_ / "Library" / "Logs" / "velocinta_grab.ppm");
  const std::string header = "P6\n80 60\n255\n";  // the default quality previews at a quarter
  ASSERT_EQ(bytes.compare(0, header.size(), header), 0) << log;
  ASSERT_EQ(bytes.size(), header.size() + 80u * 60u * 3u);

  auto parsed = sim::parse_project_text(kRasterProject);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(ppm_channels_off(parsed.value().comps[0], {0, 25}, 4, bytes.substr(header.size())), 0u);
}

// The docked panel's banner across the top: with a newer version offered it
// shows the notice and a click opens its link through the recording opener;
// without one it stays hidden and the same clicks open nothing. The clicks
// repeat because the notice arrives whenever the check's reply does.
TEST_F(SimhostRun, UpdateBannerShowsTheNoticeInTheDockedPanelAndOpensItsLink) {
  const std::string banner = "Update available \xE2\x80\x94 v0.3.31 \xC2\xB7 click to download";
  struct Case {
    const char* name;
    const char* reply;  // none: the service offers nothing
    bool shown;
  };
  const Case cases[] = {
      {"newer", R"({"ok":true,"version":"0.3.31","download_url":"https://dl.example/get"})", true},
      {"none", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The opener recorder appends to its file in the output folder.
    fs::remove_all(root_ / "out");
    fs::create_directories(root_ / "out");
    const fs::path scenario = root_ / "banner.json";
    {
      std::ofstream out(scenario);
      out << R"({"events": [{"at_ms": 0, "action": "open_panel", "width": 640, "height": 400, "scale": 1})";
      if (c.shown) {
        // The banner is clicked once it shows, and the run ends once the
        // opener has recorded the link and the plug-in has reaped it.
        out << R"(, {"when": "text:Update available", "action": "click", "x": 100, "y": 389})"
            << R"(, {"when": "link_opened", "action": "quit"})";
      } else {
        // Nothing to wait for when nothing is offered: clicks where the
        // banner would be, over the time a reply takes to come.
        for (int at = 800; at <= 2300; at += 500) out << R"(, {"at_ms": )" << at << R"(, "action": "click", "x": 100, "y": 389})";
      }
      out << "]}";
    }
    std::vector<std::string> args = {"--scenario", scenario.string()};
    if (c.reply != nullptr) {
      const fs::path reply = root_ / "reply.json";
      std::ofstream(reply) << c.reply;
      args.insert(args.end(), {"--update-reply", reply.string()});
    }
    // A bound for the shown case, never reached in a sound run.
    auto r = run({}, args, "<default>", c.shown ? 50.0 : 2.6);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    json s = summary();
    EXPECT_EQ(s["quit"], c.shown) << "still waiting for " << s["still_waiting"];
    EXPECT_TRUE(s["scenario_failures"].empty()) << s["scenario_failures"].dump();
    json u = s["update"];
    // At most the one check right after start-up, always the same request.
    EXPECT_LE(u["requests"].size(), 1u) << u.dump();
    for (const auto& target : u["requests"]) EXPECT_EQ(target, "/update?channel=beta&current=0.3.30");
    EXPECT_TRUE(u["children_after_death"].empty()) << u.dump();
    EXPECT_TRUE(u["zombie_openers"].empty()) << u.dump();

    const json& texts = s["panel"]["texts"];
    size_t banners = 0;
    for (const auto& t : texts) banners += t.get<std::string>().rfind("Update available", 0) == 0;
    if (c.shown) {
      EXPECT_NE(std::find(texts.begin(), texts.end(), banner), texts.end()) << texts.dump();
      ASSERT_FALSE(u["links_opened"].empty()) << u.dump();
      for (const auto& link : u["links_opened"]) EXPECT_EQ(link, "https://dl.example/get");
    } else {
      EXPECT_EQ(banners, 0u) << texts.dump();
      EXPECT_TRUE(u["links_opened"].empty()) << u.dump();
    }
  }
}

TEST_F(SimhostRun, AnUpdateEndpointFromTheEnvironmentWinsOverTheService) {
  // Port 1 on the loopback refuses at once: the check fails silently.
  auto r = run({"VELOCINTA_UPDATE_URL=http://127.0.0.1:1/update"}, {});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(summary()["update"]["requests"].empty());
  EXPECT_EQ(read_text(log_path()).find("update:"), std::string::npos) << read_text(log_path());
}

}  // namespace
}  // namespace vel

namespace vel {
namespace {

// Channels of `ours` (premultiplied RGBA8) more than 1 away from the stand-in
// host's own render of `comp` at `t`.
size_t channels_off(const sim::Composition& comp, sim::HostTime t, int32_t ds, std::span<const uint8_t> ours) {
  sim::RenderRequest req;
  req.time = t;
  req.downsample_x = req.downsample_y = ds;
  auto host = sim::render_composition(comp, req);
  if (!host.ok() || host.value().rgba.size() != ours.size()) return ours.size() + 1;
  size_t off = 0;
  for (size_t i = 0; i < ours.size(); ++i) off += std::abs(int(ours[i]) - int(sim::to_8bit(host.value().rgba[i]))) > 1;
  return off;
}

// With the raster path on, the demo's composition of solids fills its whole
// work area from "velocinta-raster-" threads without a single host render,
// every frame as the host would draw it; after an edit the work area is
// drawn again with the edited pixels. The run follows the plug-in's own
// steps (frames stored, work area cached again, frame grabbed), not the
// clock, so that it holds however slowly the machine runs it.
TEST_F(SimhostRun, RasterFillCachesTheWorkAreaWithoutTheHost) {
  const fs::path scenario = root_ / "edit.json";
  const fs::path stream_root = home_ / "Library" / "Caches" / "velocinta" / "framestore-fast-v1" / "Raster";
  const std::string log_file = log_path().string();
  const json events = {
      {{"when", {{"folder", stream_root.string()}, {"files", ".vnf"}, {"count", 48}}},
       {"action", "edit"},
       {"pointer", "/compositions/0/layers/2/solid/color"},
       {"value", {0.7, 0.1, 0.1}}},
      {{"when", {{"file", log_file}, {"has", "S2 zone de travail en cache"}, {"count", 2}}},
       {"action", "command"},
       {"name", "velocinta: grab frame"}},
      {{"when", {{"file", log_file}, {"has", "velocinta: grab frame"}}}, {"action", "quit"}}};
  std::ofstream(scenario) << json{{"events", events}}.dump();
  const std::string project = std::string(VEL_DEMO_DIR) + "/raster.aep";
  testing::ChildResult r;
  for (int attempt = 0; attempt < 5; ++attempt) {
    fs::remove_all(home_);
    fs::create_directories(home_);
    r = run({"VELOCINTA_DEV=1", "VELOCINTA_RASTER=1", "VELOCINTA_PERF=1"},
            {"--project", project, "--command", "Velocinta", "--scenario", scenario.string()}, "<default>", 50);
    if (r.exit_code != 0 || !testing::scan_cut_short(read_text(log_path()))) break;
  }
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ASSERT_TRUE(summary().value("quit", false)) << "still waiting for " << summary().value("still_waiting", "");
  json s = summary();
  EXPECT_EQ(s["renders"]["sync"].get<int>() + s["renders"]["async"].get<int>(), 0) << s["renders"].dump();
  const unsigned hw = std::max(1u, usable_cpu_count().value_or(1));
  const unsigned threads = std::min(std::max(hw > 2 ? hw - 2 : 0u, 1u), 8u);
  std::set<std::string> seen;
  for (const auto& n : s["threads_seen"]) seen.insert(n.get<std::string>());
  // The host looks at its threads after each idle call: a raster thread
  // that started and ended inside one (the main thread held up on a busy
  // machine while the fill ran) is never seen. That the raster threads made
  // the frames is the " raster=" count below; none past their number may
  // run (raster_fill_test counts them).
  for (unsigned i = threads; i < 8; ++i) {
    EXPECT_EQ(seen.count("vel-raster-" + std::to_string(i)), 0u) << i << " " << s["threads_seen"];
  }
  EXPECT_TRUE(plugin_threads(s).empty()) << s["threads_after_death"].dump();

  const std::string log = read_text(log_path());
  const size_t at = log.rfind(" raster=");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_GE(std::stoll(log.substr(at + 8)), 96) << "48 frames before the edit, 48 after";

  // Before the edit the frames reached the saved state's stream on disk.
  auto original = sim::parse_project_text(read_text(project));
  ASSERT_TRUE(original.ok());
  size_t frames = 0;
  for (auto& dir : fs::directory_iterator(stream_root)) {
    for (auto& e : fs::directory_iterator(dir.path())) {
      if (e.path().extension() != ".vnf") continue;
      const std::string bytes = read_text(e.path());
      auto frame = parse_frame_file(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
      ASSERT_TRUE(frame) << e.path();
      EXPECT_EQ(frame->width, 160u);
      EXPECT_EQ(channels_off(original.value().comps[0], {frame->key.value, frame->key.scale}, 4, frame->pixels.bytes()), 0u)
          << e.path();
      ++frames;
    }
  }
  EXPECT_EQ(frames, 48u);

  // The grab after the edit shows the edited backdrop.
  auto edited = original.value();
  edited.comps[0].layers[2].solid->color = {0.7, 0.1, 0.1};
  const std::string ppm = read_text(home_ / "Library" / "Logs" / "velocinta_grab.ppm");
  const std::string header = "P6\n160 90\n255\n";
  ASSERT_EQ(ppm.compare(0, header.size(), header), 0) << log;
  ASSERT_EQ(ppm.size(), header.size() + 160u * 90u * 3u);
  EXPECT_EQ(ppm_channels_off(edited.comps[0], {0, 24}, 4, ppm.substr(header.size())), 0u);
}

}  // namespace
}  // namespace vel
