// The disk store on a volume with room for about 250 of its frames
// above its reserve (a tmpfs the test mounts over the host's caches folder
// in its private mount namespace): paused at the start, the store fills
// with the first frames and stops; a click far away makes it remove them
// for the frames there; a click back near the start brings them back, as
// the frames nearest the playhead. The main thread once kept counting the
// removed frames as on disk, and never wrote them again in the session.
// The stop line gives the figures that tell why the store stopped.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "plugin/small_volume.h"
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

constexpr int kFps = 30;
// Thirty seconds: a strip point a frame, and every frame in the cache, so
// that the frames the store removes are still cached when the playhead
// comes back (the cache writes a frame to the store when it comes in).
constexpr int kFrames = 900;
// Above the store's 1 GiB reserve: a few hundred frames' room.
constexpr uint64_t kVolumeBytes = (uint64_t{1} << 30) + (uint64_t{1} << 20);

// Strip positions (window points) of a panel 960 points wide at scale 1.
int strip_x(int frame) { return static_cast<int>(std::lround(4.5 + 954.0 * (frame + 0.3) / kFrames)); }

json click_strip(int frame) { return {{"at_ms", 0}, {"action", "click"}, {"x", strip_x(frame)}, {"y", 32}}; }

std::set<int32_t> stored_frames(const fs::path& store) {
  std::set<int32_t> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(store, ec), end; !ec && it != end; it.increment(ec)) {
    if (auto key = parse_frame_file_name(it->path().filename().string())) out.insert(key->value);
  }
  return out;
}

TEST(StoreTrim, FramesRemovedForRoomAreWrittenAgainWhenThePlayheadComesBack) {
  if (!testing::in_own_namespace()) GTEST_SKIP() << "no namespace of the test's own here: nothing is mounted";
  testing::ScratchDir scratch("vel-store-trim");
  ASSERT_TRUE(scratch.ok());
  const testing::SmallCachesHome h(scratch.path(), kVolumeBytes);
  if (h.volume.refused()) GTEST_SKIP() << "this namespace takes no mount: " << h.volume.error();
  ASSERT_TRUE(h.volume.mounted()) << "a tmpfs could not be mounted in the test's own namespace: " << h.volume.error();
  const fs::path &home = h.home, &caches = h.caches, &out = h.out, &tmp = h.tmp;

  const fs::path project = scratch.path() / "turning.aep";
  std::ofstream(project) << testing::turning_bar_project("Turning", kFrames, kFps).dump();
  const fs::path log_path = home / "Library" / "Logs" / "velocinta.log";
  const fs::path store = caches / "velocinta";
  auto on_disk = [&](int frame) {
    return json{{"folder", store.string()}, {"files", "v" + std::to_string(frame) + "_s30.vnf"}};
  };
  const json stopped = {{"file", log_path.string()}, {"has", "S9 disque : écritures arrêtées"}};
  // The store holds about 250 frames: the click lands within a few frames
  // of the one aimed at, and the next two hundred are among them once the
  // store has made room for them, nearest first.
  const json scenario = {
      {"events",
       {{{"at_ms", 0}, {"action", "open_panel"}, {"width", 960}, {"height", 540}, {"scale", 1}},
        {{"when", {{"frames_total", 1}}}, {"action", "pause"}},
        {{"when", stopped}, {"action", "wait"}},
        click_strip(500),
        {{"when", on_disk(560)}, {"action", "wait"}},
        click_strip(187),
        {{"when", on_disk(380)}, {"action", "quit"}}}}};
  std::ofstream(out / "scenario.json") << scenario.dump();
  const std::vector<std::string> args = {"--plugin",   VEL_PLUGIN_PATH,  "--project", project.string(),
                                         "--seconds",  "60",             "--out",     out.string(),
                                         "--scenario", (out / "scenario.json").string(), "--no-gpu"};
  const std::vector<std::string> env = {"HOME=" + home.string(), "TMPDIR=" + tmp.string()};
  const testing::ChildResult r = testing::run_child(VEL_SIMHOST_PATH, args, env, out.string(), 90);
  ASSERT_FALSE(r.timed_out) << r.output;
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const json s = json::parse(read_text(out / "summary.json"), nullptr, false);
  ASSERT_TRUE(s.is_object()) << r.output;
  const std::string log = read_text(log_path);
  const std::set<int32_t> frames = stored_frames(store);
  std::set<int32_t> near_back, far_click, behind;
  for (int32_t f : frames) (f < 180 ? behind : f < 480 ? near_back : far_click).insert(f);
  auto span = [](const std::set<int32_t>& v) {
    return v.empty() ? std::string("none") : std::to_string(v.size()) + " in " + std::to_string(*v.begin()) + ".." +
                                                 std::to_string(*v.rbegin());
  };
  std::printf("frames on disk after the trim and back: %zu; before the frame clicked back to: %s; from it: %s; "
              "near the far click: %s\n",
              frames.size(), span(behind).c_str(), span(near_back).c_str(), span(far_click).c_str());
  EXPECT_TRUE(s.value("quit", false)) << "still waiting for " << s.value("still_waiting", "") << "\n" << log;

  // Near the playhead, the frames from the one clicked on: the store made
  // room for them, they are on disk. Those just behind it, the farthest in
  // loop order, went first.
  for (int32_t f = 200; f <= 380; ++f) EXPECT_TRUE(frames.contains(f)) << f;
  EXPECT_TRUE(behind.empty()) << span(behind);

  // The stop line, in Kio: the free space falls short of the reserve and
  // the frame to write.
  const std::regex line("n'a plus que ([0-9]+) Kio libres et en laisse ([0-9]+) aux autres fichiers ; "
                        "l'image à écrire en demande ([0-9]+)");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(log, m, line)) << log;
  const uint64_t free_k = std::stoull(m[1]), reserve_k = std::stoull(m[2]), frame_k = std::stoull(m[3]);
  EXPECT_EQ(reserve_k, 1u << 20) << "1 GiB";
  EXPECT_GT(frame_k, 0u);
  EXPECT_LT(free_k, reserve_k + frame_k);
  EXPECT_GE(free_k + (1u << 10), reserve_k) << "stopped within a MiB of the reserve";
}

}  // namespace
}  // namespace vel
