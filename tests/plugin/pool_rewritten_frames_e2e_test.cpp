// Workers that change a frame after handing it over, with the pool on and
// every switch at its default: on the file roads a worker that rewrites each
// frame file in place (another frame's bytes, then its own again, in 4 KiB
// writes; the stand-in's SIM_AERENDER_REWRITE_US), on the memory road one
// that cuts its segment one byte short and grows it back, again and again,
// while the host copies (SIM_AEIO_CUT_TO). The work area fills all the
// same, and every frame in the disk store is the host's own render of it:
// none is rows of two frames, and none has its last pixel's alpha zeroed.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "plugin/frame_bar.h"
#include "plugin/simhost_pool_run.h"
#include "plugin/stored_frames.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::read_text;

constexpr int kWorkArea = 96;

struct ChangedFrameRow {
  const char* name;
  std::vector<std::string> env;
  bool memory = false;
};

class PoolChangedFrames : public testing::SimhostPoolRun, public ::testing::WithParamInterface<ChangedFrameRow> {
 protected:
  fs::path store() { return root_ / "home" / "Library" / "Caches" / "velocinta" / "framestore-fast-v1"; }
};

TEST_P(PoolChangedFrames, NoFrameAWorkerChangedAfterHandingItOverIsStored) {
  const ChangedFrameRow& row = GetParam();
  json p = project();
  json& comp = p["compositions"][0];
  comp["render_cost_ms"] = 8;
  comp["work_area"] = {{"start", json::array({0, 24})}, {"duration", json::array({kWorkArea, 24})}};
  // Every frame its own picture: a bar across the composition's height
  // that moves 3 pixels a frame, so that rows of two frames differ.
  testing::add_frame_bar(comp, kWorkArea);
  for (json& key : comp["layers"][0]["transform"]["position"]["keyframes"]) key["value"][1] = 90;
  comp["layers"][0]["transform"]["position"]["keyframes"][1]["value"][0] = testing::kBarStart + 3 * kWorkArea;
  write_project(p);
  std::vector<std::string> env = row.env;
  json events = pool_on_events();
  if (row.memory) {
    env.push_back("VELOCINTA_OUTPUT_FORMAT=memory");
    events.insert(events.begin(), make_memory_template());
  }
  // Paused on the first frame, the panel leaves the work area to the pool.
  events.push_back({{"when", {{"frames", 1}}}, {"action", "pause"}});
  // The memory road's refusal ends the batch unclean; that and the work
  // area's cache may come in either order.
  if (row.memory) {
    events.push_back(when_logged("pool: memory output did not finish cleanly", 1, {{"action", "wait"}}));
  }
  events.push_back(when_logged("S2 zone de travail en cache", 1, {{"action", "wait"}}));
  // And every frame of it in the disk store, which writes behind the cache.
  events.push_back({{"when", {{"folder", store().string()}, {"files", ".vnf"}, {"count", kWorkArea}}}, {"action", "quit"}});
  auto r = run(env, events, 90.0);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("in-pid-namespace: no process left"), std::string::npos) << r.output;
  const std::string text = log();
  const json s = summary();
  EXPECT_TRUE(s.value("quit", false)) << "still waiting for " << s.value("still_waiting", "") << "\n" << text;
  EXPECT_NE(text.find("S2 zone de travail en cache"), std::string::npos) << text;
  constexpr size_t npos = std::string::npos;
  if (row.memory) {
    // The cuts came under a frame, and the host refused that frame (the
    // job folder with the worker's own log may be gone by now): by the
    // status that moved under its copy, or, when the host looked while the
    // file stood cut, by its length.
    const bool changed = text.find("rejected output: shared-memory segment changed under the frame") != npos;
    const bool cut_short = text.find("rejected output: shared-memory mapping is too short") != npos;
    EXPECT_TRUE(changed || cut_short) << text;
  }
  size_t from_pool = 0;
  for (size_t at = text.find("S5 pool : image "); at != std::string::npos; at = text.find("S5 pool : image ", at + 1))
    ++from_pool;
  EXPECT_GT(from_pool, 0u) << "the pool cached nothing: nothing tried\n" << text;
  // Any pixel off: a frame torn by a few rows differs in a few bar widths.
  const std::vector<testing::StoredFrameCheck> stored = testing::check_stored_frames(store(), project());
  std::vector<std::string> unlike;
  for (const testing::StoredFrameCheck& c : stored) {
    if (!c.sized || c.off > 0 || c.invalid > 0) {
      unlike.push_back(c.name + " (" + std::to_string(c.off) + " off, " + std::to_string(c.invalid) +
                       " not premultiplied)");
    }
  }
  EXPECT_GE(stored.size(), static_cast<size_t>(kWorkArea / 2)) << "too few frames stored to tell";
  EXPECT_TRUE(unlike.empty()) << unlike.size() << " of " << stored.size()
                              << " stored frames unlike the host's render, first " << unlike.front();
  std::cout << row.name << ": " << unlike.size() << " of " << stored.size()
            << " stored frames unlike the host's render (" << from_pool << " cached from the pool)\n";
  const std::vector<std::string> threads = pool_threads_left();
  EXPECT_TRUE(threads.empty()) << threads.front();
}

INSTANTIATE_TEST_SUITE_P(
    EveryRoad, PoolChangedFrames,
    ::testing::Values(
        // 100 µs between writes: a read in the middle of a rewrite is what
        // is tried here, not a worker held up for longer than the settle
        // (at 3 ms between writes, a busy machine now and then holds one up
        // for that long, and the file then stands still half rewritten,
        // which no look at it tells).
        ChangedFrameRow{"targa_rewritten_100us", {"VELOCINTA_OUTPUT_FORMAT=tga", "SIM_AERENDER_REWRITE_US=100"}},
        ChangedFrameRow{"photoshop_rewritten_100us",
                        {"VELOCINTA_OUTPUT_FORMAT=psd", "SIM_AERENDER_PSD=raw", "SIM_AERENDER_REWRITE_US=100"}},
        ChangedFrameRow{"memory_cut_one_byte_short", {"SIM_AEIO_CUT_TO=w0:-1"}, true}),
    [](const ::testing::TestParamInfo<ChangedFrameRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vel
