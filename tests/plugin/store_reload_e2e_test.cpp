// Frames the disk store holds come from it each time the cache needs them
// again, as a user sees it over two runs on one home: the first renders and
// stores, the second reads back. The main thread once kept every key it had
// asked of the store for the life of the stream, so that a frame loaded once
// and later let go by the cache was rendered on its next visit: after a far
// click and a click back, and all along a loop longer than the cache.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "plugin/paused_opening.h"
#include "plugin/turning_bar.h"
#include "support/child_process.h"
#include "support/sanitized_build.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::read_text;

constexpr int kReloadCacheFrames = 4096;  // the cache's frame limit

struct ReloadHostRun {
  json summary;
  std::string log;  // this run's part of the plug-in's log
};

// Frames the run made: the host's renders and the pool's frames.
uint64_t frames_made(const ReloadHostRun& run) {
  const json& r = run.summary.at("renders");
  uint64_t pool = 0;
  for (size_t at = run.log.find("S5 pool : image "); at != std::string::npos;
       at = run.log.find("S5 pool : image ", at + 1)) {
    ++pool;
  }
  return r.value("sync", uint64_t{0}) + r.value("async", uint64_t{0}) + pool;
}

// "S9 disque : N image(s) rechargée(s) du disque, M écrite(s)" at the
// run's end: (loaded, written).
std::pair<uint64_t, uint64_t> loaded_and_written(const ReloadHostRun& run) {
  const std::regex line("S9 disque : ([0-9]+) image\\(s\\) rechargée\\(s\\) du disque, ([0-9]+) écrite");
  std::smatch m;
  if (!std::regex_search(run.log, m, line)) return {0, 0};
  return {std::stoull(m[1]), std::stoull(m[2])};
}

class StoreReload : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    for (const fs::path& d : {home_, tmp_}) fs::create_directories(d);
  }

  int strip_x(int frame) const { return static_cast<int>(std::lround(4.5 + 954.0 * (frame + 0.3) / frames_)); }
  json click(int frame) const { return {{"at_ms", 0}, {"action", "click"}, {"x", strip_x(frame)}, {"y", 32}}; }
  json store_holds(int files) const {
    return {{"when", {{"folder", store_.string()}, {"files", ".vnf"}, {"count", files}}}, {"action", "wait"}};
  }
  json on_disk(int frame, int fps) const {
    const std::string name = "v" + std::to_string(frame) + "_s" + std::to_string(fps) + ".vnf";
    return {{"when", {{"folder", store_.string()}, {"files", name}}}, {"action", "wait"}};
  }
  // The store's stream open and its preload taken into the cache.
  json opened() const {
    return {{"when", {{"file", log_path_.string()}, {"has", "S9 disque : flux ouvert"}, {"count", runs_ + 1}}},
            {"action", "wait"}};
  }
  json opening() const {
    json events = {{{"at_ms", 0}, {"action", "open_panel"}, {"width", 960}, {"height", 540}, {"scale", 1}}};
    for (const json& e : testing::pause_before_first_picture(log_path_.string())) events.push_back(e);
    return events;
  }

  // The project both runs open; the strip's places follow its length.
  void use_project(const json& project) {
    frames_ = project["compositions"][0]["duration"][0].get<int>();
    std::ofstream(project_path_) << project.dump();
  }

  ReloadHostRun run(const std::string& name, json events) {
    const fs::path out = scratch_.path() / name;
    fs::create_directories(out);
    events.push_back({{"at_ms", 0}, {"action", "quit"}});
    std::ofstream(out / "scenario.json") << json{{"events", events}}.dump();
    const std::vector<std::string> args = {"--plugin",   VEL_PLUGIN_PATH,  "--project", project_path_.string(),
                                           "--seconds",  "150",            "--out",     out.string(),
                                           "--scenario", (out / "scenario.json").string(), "--no-gpu"};
    const std::vector<std::string> env = {"HOME=" + home_.string(), "TMPDIR=" + tmp_.string(), "VELOCINTA_PERF=1"};
    const size_t log_from = fs::exists(log_path_) ? read_text(log_path_).size() : 0;
    const testing::ChildResult r = testing::run_child(VEL_SIMHOST_PATH, args, env, out.string(), 170);
    ++runs_;
    EXPECT_FALSE(r.timed_out) << r.output;
    EXPECT_EQ(r.exit_code, 0) << r.output;
    const std::string log = read_text(log_path_);
    ReloadHostRun result{json::parse(read_text(out / "summary.json"), nullptr, false),
                   log.substr(std::min(log_from, log.size()))};
    EXPECT_TRUE(result.summary.is_object()) << r.output;
    if (!result.summary.is_object()) result.summary = {{"renders", json::object()}};
    EXPECT_TRUE(result.summary.value("quit", false))
        << "still waiting for " << result.summary.value("still_waiting", "") << "\n" << result.log;
    return result;
  }

  testing::ScratchDir scratch_{"vel-store-reload"};
  fs::path home_ = scratch_.path() / "home";
  fs::path tmp_ = scratch_.path() / "tmp";
  fs::path project_path_ = scratch_.path() / "turning.aep";
  fs::path log_path_ = home_ / "Library" / "Logs" / "velocinta.log";
  fs::path store_ = home_ / "Library" / "Caches" / "velocinta";
  int frames_ = 0;
  int runs_ = 0;
};

// Two stretches of a composition twice the cache on disk, the start and one
// far away; the second run opens at the start (preloaded), clicks far (the
// cache lets the start go for the frames there) and back: every frame on
// disk comes from it. Each click lands 40 frames past the first run's, so
// that its window reaches past what is on disk: those frames are rendered,
// and written after the loads asked before them (the store does its jobs in
// order). Their files say that the loads are done.
TEST_F(StoreReload, AClickBackLoadsWhatTheCacheLetGo) {
  // There a fill of 8192 frames and 12,000 loads (some 75 a second under
  // ThreadSanitizer on a busy machine) outlast a run; the loop below takes
  // the same paths through the loads.
  if (testing::kSanitized) GTEST_SKIP() << "the click back runs in the plain build";
  constexpr int kFps = 60;
  constexpr int kFrames = 2 * kReloadCacheFrames + 200;
  constexpr int kFar = kReloadCacheFrames + 100;
  constexpr int kPast = 40;
  use_project(testing::turning_bar_project("Turning", kFrames, kFps));

  json first = opening();
  first.push_back(store_holds(kReloadCacheFrames));
  first.push_back(click(kFar));
  first.push_back(store_holds(2 * kReloadCacheFrames));
  const ReloadHostRun filled = run("first", first);

  json second = opening();
  second.push_back(opened());
  second.push_back(click(kFar + kPast));
  second.push_back(on_disk(kFar + kReloadCacheFrames + kPast - 8, kFps));
  second.push_back(click(kPast));
  second.push_back(on_disk(kReloadCacheFrames + kPast / 2, kFps));
  const ReloadHostRun back = run("second", second);
  const auto [loaded, written] = loaded_and_written(back);
  std::printf("click back: first run made %llu frames; second run made %llu, wrote %llu, loaded %llu\n",
              static_cast<unsigned long long>(frames_made(filled)), static_cast<unsigned long long>(frames_made(back)),
              static_cast<unsigned long long>(written), static_cast<unsigned long long>(loaded));
  // It made the frames of its windows that the first run's did not reach:
  // a click lands up to 35 frames off the one aimed at, the same in both runs.
  EXPECT_LE(frames_made(back), 4u * kPast) << back.log;
  EXPECT_GE(loaded + frames_made(back), 3u * kReloadCacheFrames - 8);
}

// A loop of 4200 frames at 120 fps, all on disk, against a cache of 4096:
// each frame goes out of the cache behind the playhead and comes back into
// its window a loop later. Played for a loop and 600 frames, the second run
// makes none of them.
TEST_F(StoreReload, ALoopLongerThanTheCachePlaysFromTheStore) {
  constexpr int kFrames = kReloadCacheFrames + 104;
  constexpr int kFps = 120;
  use_project(testing::turning_bar_project("Turning", kFrames, kFps));

  json first = opening();
  first.push_back(store_holds(kReloadCacheFrames));
  first.push_back(click(kReloadCacheFrames - 50));  // the window takes in the rest
  first.push_back(store_holds(kFrames));
  (void)run("first", first);

  json second = opening();
  second.push_back(opened());
  second.push_back({{"at_ms", 0}, {"action", "play"}});
  second.push_back({{"when", {{"frames", kFrames + 600}}}, {"action", "pause"}});
  const ReloadHostRun loop = run("second", second);
  size_t reports = 0;
  for (size_t at = loop.log.find("PIPELINE(5s)"); at != std::string::npos; at = loop.log.find("PIPELINE(5s)", at + 1)) {
    ++reports;
  }
  const uint64_t loaded = loaded_and_written(loop).first;
  std::printf("loop: second run made %llu frames, loaded %llu, %zu pipeline reports\n",
              static_cast<unsigned long long>(frames_made(loop)), static_cast<unsigned long long>(loaded), reports);
  EXPECT_LE(frames_made(loop), 16u) << loop.log;
  EXPECT_GT(loaded, static_cast<uint64_t>(kFrames));
}

}  // namespace
}  // namespace vel
