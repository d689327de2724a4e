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
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "plugin/small_volume.h"
#include "plugin/turning_bar.h"
#include "store/frame_file.h"
#include "store/frame_store.h"
#include "store/store_names.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::read_text;

constexpr int kTrimFps = 30;
// Thirty seconds: a strip point a frame, and every frame in the cache, so
// that the frames the store removes are still cached when the playhead
// comes back (the cache writes a frame to the store when it comes in).
constexpr int kTrimFrames = 900;
// Above the store's 1 GiB reserve: a few hundred frames' room.
constexpr uint64_t kTrimVolumeBytes = (uint64_t{1} << 30) + (uint64_t{1} << 20);

// Strip positions (window points) of a panel 960 points wide at scale 1.
int trim_strip_x(int frame) { return static_cast<int>(std::lround(4.5 + 954.0 * (frame + 0.3) / kTrimFrames)); }

json click_trim_strip(int frame) { return {{"at_ms", 0}, {"action", "click"}, {"x", trim_strip_x(frame)}, {"y", 32}}; }

// The store's frame files, and its aliases that name no frame with pixels.
struct StoreState {
  fs::path stream;
  std::set<int32_t> frames;
  std::string broken;
};

StoreState read_store(const fs::path& store) {
  StoreState s;
  std::map<int32_t, int32_t> aliases;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(store, ec), end; !ec && it != end; it.increment(ec)) {
    const std::optional<FrameKey> key = parse_frame_file_name(it->path().filename().string());
    if (!key || !it->is_regular_file(ec)) continue;
    s.stream = it->path().parent_path();
    s.frames.insert(key->value);
    if (it->file_size(ec) != kAliasFileBytes) continue;
    const std::string bytes = read_text(it->path());
    if (auto a = parse_alias_file({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()})) {
      aliases[key->value] = a->target.value;
    }
  }
  for (const auto& [alias, target] : aliases) {
    if (!s.frames.contains(target) || aliases.contains(target)) s.broken += " " + std::to_string(alias);
  }
  return s;
}

TEST(StoreTrim, FramesRemovedForRoomAreWrittenAgainWhenThePlayheadComesBack) {
  if (!testing::in_own_namespace()) GTEST_SKIP() << "no namespace of the test's own here: nothing is mounted";
  testing::ScratchDir scratch("vel-store-trim");
  ASSERT_TRUE(scratch.ok());
  const testing::SmallCachesHome h(scratch.path(), kTrimVolumeBytes);
  if (h.volume.refused()) GTEST_SKIP() << "this namespace takes no mount: " << h.volume.error();
  ASSERT_TRUE(h.volume.mounted()) << "a tmpfs could not be mounted in the test's own namespace: " << h.volume.error();
  const fs::path &home = h.home, &caches = h.caches, &out = h.out, &tmp = h.tmp;

  const fs::path project = scratch.path() / "turning.aep";
  std::ofstream(project) << testing::turning_bar_project("Turning", kTrimFrames, kTrimFps).dump();
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
        click_trim_strip(500),
        {{"when", on_disk(560)}, {"action", "wait"}},
        click_trim_strip(187),
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
  const std::set<int32_t> frames = read_store(store).frames;
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

constexpr int kHeldFps = 120, kHeldFrames = 30 * kHeldFps, kHold = 4;  // the store holds about 1500 of them

// Pictures held a few frames each, played on a small volume: the store
// holds far fewer frames than the loop and keeps removing those just
// played, and a held picture's later frames are aliases of its first. With
// the playhead inside a held picture, the store once removed the picture's
// first frame just behind it and left the aliases at and ahead of it naming
// nothing: refused at every load, listed as on disk, never written again.
// Killed twice while the store removes frames, then opened and paused at
// the start: no alias names a missing frame, and the frames there load.
TEST(StoreAliasTrim, NoAliasOutlivesItsFrameAcrossKillsMidTrim) {
  if (!testing::in_own_namespace()) GTEST_SKIP() << "no namespace of the test's own here: nothing is mounted";
  testing::ScratchDir scratch("vel-alias-trim");
  ASSERT_TRUE(scratch.ok());
  const testing::SmallCachesHome h(scratch.path(), (uint64_t{1} << 30) + (uint64_t{6} << 20));
  if (h.volume.refused()) GTEST_SKIP() << "this namespace takes no mount: " << h.volume.error();
  ASSERT_TRUE(h.volume.mounted()) << "a tmpfs could not be mounted in the test's own namespace: " << h.volume.error();
  // The turning bar without its square, the bar jumping every kHold frames.
  json project = testing::turning_bar_project("Held", kHeldFrames, kHeldFps);
  json& layers = project["compositions"][0]["layers"];
  layers.erase(1);
  json& keys = layers[0]["transform"]["position"]["keyframes"] = json::array();
  for (int f = 0; f < kHeldFrames; f += kHold) {
    keys.push_back({{"time", {f, kHeldFps}}, {"value", {8 + 304.0 * f / kHeldFrames, 90}}, {"interp", "hold"}});
  }
  std::ofstream(scratch.path() / "held.aep") << project.dump();
  const fs::path store = h.caches / "velocinta";
  auto run = [&](const json& events, const std::function<bool()>& kill_when) {
    std::ofstream(h.out / "scenario.json") << json{{"events", events}}.dump();
    return testing::run_child(VEL_SIMHOST_PATH,
                              {"--plugin", VEL_PLUGIN_PATH, "--project", (scratch.path() / "held.aep").string(),
                               "--seconds", "90", "--out", h.out.string(), "--scenario",
                               (h.out / "scenario.json").string(), "--no-gpu"},
                              {"HOME=" + h.home.string(), "TMPDIR=" + h.tmp.string()}, h.out.string(), 120, kill_when);
  };
  const json open_panel = {{"at_ms", 0}, {"action", "open_panel"}, {"width", 960}, {"height", 540}, {"scale", 1}};

  // Played, and killed once the store has removed 40 frames for room.
  for (int round = 1; round <= 2; ++round) {
    std::set<int32_t> seen;
    size_t removals = 0;
    const testing::ChildResult r = run(json::array({open_panel}), [&] {
      const StoreState now = read_store(store);
      for (int32_t f : seen) removals += now.frames.contains(f) ? 0 : 1;
      seen = now.frames;
      return removals >= 40;
    });
    ASSERT_GE(removals, 40u) << "round " << round << "\n" << r.output;
    const StoreState after = read_store(store);
    std::printf("round %d killed: %zu frame files, aliases naming a missing frame:%s\n", round, after.frames.size(),
                after.broken.c_str());
    EXPECT_EQ(after.broken, "") << "round " << round;
  }

  // Opened again and paused at the start: the test lets it quit once the
  // frames there are on disk and load.
  std::string waited_for;
  const json events = json::array({open_panel,
                                   {{"when", {{"frames_total", 1}}}, {"action", "pause"}},
                                   {{"when", {{"folder", h.out.string()}, {"files", "go"}}}, {"action", "quit"}}});
  const testing::ChildResult r = run(events, [&] {
    const StoreState now = read_store(store);
    LoadContext ctx;
    waited_for = now.broken.empty() ? "" : "aliases naming a missing frame:" + now.broken;
    for (int32_t f = 8; f <= 60 && waited_for.empty(); ++f) {
      if (!now.frames.contains(f) || !load_frame_file(now.stream, {f, kHeldFps}, ctx)) waited_for = "frame " + std::to_string(f);
    }
    if (waited_for.empty()) std::ofstream(h.out / "go") << "quit";
    return false;
  });
  ASSERT_FALSE(r.timed_out) << "still waiting for " << waited_for << "\n" << r.output;
  const json s = json::parse(read_text(h.out / "summary.json"), nullptr, false);
  EXPECT_TRUE(s.is_object() && s.value("quit", false)) << "still waiting for " << waited_for << "\n" << r.output;
  EXPECT_EQ(read_store(store).broken, "");
}

}  // namespace
}  // namespace vel
