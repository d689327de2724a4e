// A composition whose pictures repeat (each held for a few frames) played
// on a small volume: the store holds far fewer frames than the loop, so it
// keeps removing those just played for those ahead, and a held picture's
// later frames are aliases of its first. The playhead inside a held picture
// once had the store remove the picture's first frame, just behind it, and
// leave the aliases at and ahead of the playhead naming a file that was no
// more: refused at every load, listed as on disk, never written again. The
// host is killed twice while the store removes frames, then opened a third
// time and paused near the start: no alias ever names a missing frame, and
// the frames there are on disk again and load.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "plugin/small_volume.h"
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

constexpr int kFps = 120;
constexpr int kFrames = 30 * kFps;  // a loop of thousands of frames; the store holds about 1500
constexpr int kHold = 4;            // frames a picture is held
// Above the store's 1 GiB reserve: a few MiB of frames.
constexpr uint64_t kVolumeBytes = (uint64_t{1} << 30) + (uint64_t{6} << 20);
// Frames removed for room that the test sees go before it kills a run.
constexpr size_t kRemovalsBeforeKill = 40;

// 320 × 180 at no cost: a dark ground and a white bar that jumps every
// kHold frames, so that each picture is held kHold frames.
json held_bar_project() {
  json keys = json::array();
  for (int f = 0; f < kFrames; f += kHold) {
    keys.push_back({{"time", {f, kFps}}, {"value", {8 + 304.0 * f / kFrames, 90}}, {"interp", "hold"}});
  }
  const json bar = {{"name", "Where"},
                    {"solid", {{"name", "White Solid 1"}, {"color", {1, 1, 1}}, {"width", 8}, {"height", 180}}},
                    {"transform", {{"position", {{"keyframes", keys}}}}}};
  const json ground = {{"name", "Ground"}, {"solid", {{"name", "Dark Solid 1"}, {"color", {0.2, 0.2, 0.25}}}}};
  return {{"active_comp", "Held"},
          {"compositions",
           {{{"name", "Held"},
             {"width", 320},
             {"height", 180},
             {"frame_duration", {1, kFps}},
             {"duration", {kFrames, kFps}},
             {"render_cost_ms", 0},
             {"layers", {bar, ground}}}}}};
}

struct StoreState {
  fs::path stream;
  std::set<int32_t> frames;                // every frame file
  std::map<int32_t, int32_t> aliases;      // alias → target
  std::vector<int32_t> broken;             // aliases whose target is no frame with pixels
};

StoreState read_store(const fs::path& store) {
  StoreState s;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(store, ec), end; !ec && it != end; it.increment(ec)) {
    const std::optional<FrameKey> key = parse_frame_file_name(it->path().filename().string());
    if (!key || !it->is_regular_file(ec)) continue;
    s.stream = it->path().parent_path();
    s.frames.insert(key->value);
    if (it->file_size(ec) != kAliasFileBytes) continue;
    const std::string bytes = read_text(it->path());
    if (auto a = parse_alias_file({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()})) {
      s.aliases[key->value] = a->target.value;
    }
  }
  for (const auto& [alias, target] : s.aliases) {
    if (!s.frames.contains(target) || s.aliases.contains(target)) s.broken.push_back(alias);
  }
  return s;
}

std::string listed(const std::vector<int32_t>& v) {
  std::string out;
  for (size_t i = 0; i < v.size() && i < 12; ++i) out += (i ? " " : "") + std::to_string(v[i]);
  return v.size() > 12 ? out + " …" : out;
}

TEST(StoreAliasTrim, NoAliasOutlivesItsFrameAcrossKillsMidTrim) {
  if (!testing::in_own_namespace()) GTEST_SKIP() << "no namespace of the test's own here: nothing is mounted";
  testing::ScratchDir scratch("vel-alias-trim");
  ASSERT_TRUE(scratch.ok());
  const testing::SmallCachesHome h(scratch.path(), kVolumeBytes);
  if (h.volume.refused()) GTEST_SKIP() << "this namespace takes no mount: " << h.volume.error();
  ASSERT_TRUE(h.volume.mounted()) << "a tmpfs could not be mounted in the test's own namespace: " << h.volume.error();
  const fs::path &home = h.home, &caches = h.caches, &out = h.out, &tmp = h.tmp;

  const fs::path project = scratch.path() / "held.aep";
  std::ofstream(project) << held_bar_project().dump();
  const fs::path store = caches / "velocinta";
  const fs::path go = out / "go";
  const std::vector<std::string> env = {"HOME=" + home.string(), "TMPDIR=" + tmp.string()};
  auto run = [&](const json& events, const std::function<bool()>& kill_when) {
    std::ofstream(out / "scenario.json") << json{{"events", events}}.dump();
    const std::vector<std::string> args = {"--plugin",   VEL_PLUGIN_PATH, "--project", project.string(),
                                           "--seconds",  "90",            "--out",     out.string(),
                                           "--scenario", (out / "scenario.json").string(), "--no-gpu"};
    return testing::run_child(VEL_SIMHOST_PATH, args, env, out.string(), 120, kill_when);
  };
  const json open_panel = {{"at_ms", 0}, {"action", "open_panel"}, {"width", 960}, {"height", 540}, {"scale", 1}};

  // Two runs playing, each killed once the store has removed frames for
  // room while it plays on.
  for (int round = 1; round <= 2; ++round) {
    std::set<int32_t> seen;
    size_t removals = 0;
    bool killed = false;
    const testing::ChildResult r = run(json::array({open_panel}), [&] {
      const StoreState now = read_store(store);
      for (int32_t f : seen) removals += now.frames.contains(f) ? 0 : 1;
      seen = now.frames;
      killed = removals >= kRemovalsBeforeKill;
      return killed;
    });
    ASSERT_TRUE(killed) << "round " << round << ": the store removed " << removals << " frame(s) in the run\n"
                        << r.output;
    const StoreState after = read_store(store);
    std::printf("round %d killed: %zu frame files, %zu aliases, %zu naming a missing frame\n", round,
                after.frames.size(), after.aliases.size(), after.broken.size());
    EXPECT_TRUE(after.broken.empty()) << "round " << round << ": aliases naming a removed frame: "
                                      << listed(after.broken);
  }

  // Opened again, paused at the start: the frames near it come back to the
  // disk and load, and no alias names a missing frame.
  constexpr int32_t kFirst = 8, kLast = 60;
  std::string waited_for;
  const json events = json::array({open_panel,
                                   {{"when", {{"frames_total", 1}}}, {"action", "pause"}},
                                   {{"when", {{"folder", out.string()}, {"files", "go"}}}, {"action", "quit"}}});
  const testing::ChildResult r = run(events, [&] {
    const StoreState now = read_store(store);
    if (!now.broken.empty()) {
      waited_for = "aliases naming a missing frame: " + listed(now.broken);
      return false;
    }
    LoadContext ctx;
    for (int32_t f = kFirst; f <= kLast; ++f) {
      if (!now.frames.contains(f) || !load_frame_file(now.stream, {f, kFps}, ctx)) {
        waited_for = "frame " + std::to_string(f) + " on disk and loading";
        return false;
      }
    }
    if (!fs::exists(go)) std::ofstream(go) << "quit";
    return false;
  });
  ASSERT_FALSE(r.timed_out) << "still waiting for " << waited_for << "\n" << r.output;
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const json s = json::parse(read_text(out / "summary.json"), nullptr, false);
  ASSERT_TRUE(s.is_object()) << r.output;
  EXPECT_TRUE(s.value("quit", false)) << "still waiting for " << waited_for << "; " << s.value("still_waiting", "");
  const StoreState last = read_store(store);
  EXPECT_TRUE(last.broken.empty()) << listed(last.broken);
  EXPECT_FALSE(last.aliases.empty()) << "the held pictures' frames are stored as aliases";
}

}  // namespace
}  // namespace vel
