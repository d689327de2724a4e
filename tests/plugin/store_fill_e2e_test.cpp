// Filling with the disk store on (a saved project), as a user does twice:
// the first run fills the work area and the store with it; the second,
// opened on a frame the store no longer holds (the last sixth of its frames
// removed between the runs), shows that frame without waiting for the store
// to go through the frames it holds, takes those from the store and renders
// the rest. The store once held back every frame of the window until it
// had answered for it, the frames it lacked after its preload of those it
// held.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "plugin/summary_marks.h"
#include "plugin/turning_bar.h"
#include "store/store_names.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::read_text;

constexpr int kFillFrames = 2400;
constexpr int kHeld = 2000;  // frames 0 .. 1999 stay in the store for the second run
constexpr const char* kFilled = "S2 zone de travail en cache";

struct HostRun {
  json summary;
  std::string log;
};

class StoreFill : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    for (const fs::path& d : {home_, tmp_}) fs::create_directories(d);
  }

  // Opens the panel on `project`, marks when the store's stream is open
  // (its preload done), and quits once the work area is cached and the
  // store holds `stored` frames.
  HostRun run(const json& project, const std::string& name, int stored) {
    const fs::path out = scratch_.path() / name;
    fs::create_directories(out);
    std::ofstream(project_path_) << project.dump();
    const int nth = ++runs_;  // the log goes on from one run to the next
    const json scenario = {
        {"events",
         {{{"at_ms", 0}, {"action", "mark"}, {"name", "open"}},
          {{"at_ms", 0}, {"action", "open_panel"}, {"width", 960}, {"height", 540}, {"scale", 1}},
          {{"when", {{"file", log_path_.string()}, {"has", "S9 disque : flux ouvert"}, {"count", nth}}},
           {"action", "mark"},
           {"name", "opened"}},
          {{"when", {{"file", log_path_.string()}, {"has", kFilled}, {"count", nth}}}, {"action", "wait"}},
          {{"when", {{"folder", store_.string()}, {"files", ".vnf"}, {"count", stored}}}, {"action", "quit"}}}}};
    std::ofstream(out / "scenario.json") << scenario.dump();
    const std::vector<std::string> args = {"--plugin",   VEL_PLUGIN_PATH,  "--project", project_path_.string(),
                                           "--seconds",  "90",             "--out",     out.string(),
                                           "--scenario", (out / "scenario.json").string(), "--no-gpu"};
    const std::vector<std::string> env = {"HOME=" + home_.string(), "TMPDIR=" + tmp_.string()};
    const testing::ChildResult r = testing::run_child(VEL_SIMHOST_PATH, args, env, out.string(), 120);
    EXPECT_FALSE(r.timed_out) << r.output;
    EXPECT_EQ(r.exit_code, 0) << r.output;
    HostRun result{json::parse(read_text(out / "summary.json"), nullptr, false), read_text(log_path_)};
    EXPECT_TRUE(result.summary.is_object()) << r.output;
    if (result.summary.is_object()) {
      EXPECT_TRUE(result.summary.value("quit", false))
          << "still waiting for " << result.summary.value("still_waiting", "") << "\n" << result.log;
    }
    return result;
  }

  testing::ScratchDir scratch_{"vel-store-fill"};
  fs::path home_ = scratch_.path() / "home";
  fs::path tmp_ = scratch_.path() / "tmp";
  fs::path project_path_ = scratch_.path() / "turning.aep";
  fs::path log_path_ = home_ / "Library" / "Logs" / "velocinta.log";
  fs::path store_ = home_ / "Library" / "Caches" / "velocinta";
  int runs_ = 0;
};

// The roads of the last "work area cached" line: sync + async, disque.
std::pair<int, int> last_fill_roads(const std::string& log) {
  const std::regex line("S2 zone de travail en cache : images [0-9]+\\.\\.[0-9]+ \\(sync ([0-9]+), async ([0-9]+), "
                        "pool 0(, disque ([0-9]+))?");
  std::pair<int, int> roads{-1, -1};
  for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) {
    roads = {std::stoi((*it)[1]) + std::stoi((*it)[2]), (*it)[4].matched ? std::stoi((*it)[4]) : 0};
  }
  return roads;
}

// Pictures shown when the store's stream was open, its preload done.
int64_t pictures_at_opened(const json& summary) {
  const json* open = testing::find_mark(summary, "open");
  const json* opened = testing::find_mark(summary, "opened");
  if (open == nullptr || opened == nullptr) return -1;
  return opened->at("picture_frames").get<int64_t>() - open->at("picture_frames").get<int64_t>();
}

TEST_F(StoreFill, AFrameTheStoreLacksIsRenderedAtOnceAndTheRestComesFromIt) {
  // Opened on the first of the frames the second run finds missing: the
  // playhead's window starts with them.
  json project = testing::turning_bar_project("Turning", kFillFrames, 30);
  project["compositions"][0]["current_time"] = {kHeld, 30};

  const HostRun first = run(project, "first", kFillFrames);
  EXPECT_EQ(last_fill_roads(first.log), std::make_pair(kFillFrames, 0)) << first.log;

  // The store keeps frames 0 .. 1999 only.
  size_t removed = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(store_, ec), end; !ec && it != end; it.increment(ec)) {
    const std::optional<FrameKey> key = parse_frame_file_name(it->path().filename().string());
    if (key && key->value >= kHeld) removed += fs::remove(it->path()) ? 1 : 0;
  }
  ASSERT_EQ(removed, static_cast<size_t>(kFillFrames - kHeld));

  const HostRun second = run(project, "second", kFillFrames);
  EXPECT_EQ(last_fill_roads(second.log), std::make_pair(kFillFrames - kHeld, kHeld))
      << "rendered what the store lacked, loaded what it held\n"
      << second.log;
  // The frame under the playhead, which the store lacks, came as soon as
  // the store had listed what it holds: before its preload of the 2000
  // frames it holds, which pass two at a time, was done.
  const int64_t shown = pictures_at_opened(second.summary);
  std::printf("pictures shown before the store's preload of %d frames was done: %lld\n", kHeld,
              static_cast<long long>(shown));
  EXPECT_GE(shown, 1);
}

}  // namespace
}  // namespace vel
