// The parallel raster fill: its thread count, the threads it starts, what
// they hand over, how they fail, and how a renewal or the death hook's drain
// ends them.
#include "raster/raster_fill.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <set>
#include <thread>

#include "cache/pack_test_support.h"
#include "core/threads.h"
#include "raster_test_support.h"

namespace vel::testing {
namespace {

using namespace std::chrono_literals;

constexpr uint64_t GiB = 1024ull * 1024 * 1024;

TEST(RasterThreadCount, Table) {
  struct Case {
    const char* what;
    uint32_t w, h, ds;
    RasterMachine m;
    size_t frames;
    bool is_static;
    uint32_t want;
  } cases[] = {
      {"HD, 16 GiB: capped at 8", 1920, 1080, 1, {10, 16 * GiB, 100}, 100, false, 8},
      {"UHD, 8 GiB: fit 5", 3840, 2160, 1, {10, 8 * GiB, 100}, 100, false, 1},
      {"HD, memory unknown: fit 20", 1920, 1080, 1, {10, std::nullopt, 100}, 100, false, 6},
      {"pressure 75", 1920, 1080, 1, {10, std::nullopt, 75}, 100, false, 4},
      {"pressure 50", 1920, 1080, 1, {10, std::nullopt, 50}, 100, false, 2},
      {"2 hardware threads", 64, 64, 1, {2, 16 * GiB, 100}, 100, false, 1},
      {"1 hardware thread", 64, 64, 1, {1, 16 * GiB, 100}, 100, false, 1},
      {"hardware threads unknown", 64, 64, 1, {std::nullopt, 16 * GiB, 100}, 100, false, 1},
      {"8 hardware threads", 64, 64, 1, {8, 16 * GiB, 100}, 100, false, 6},
      {"3 frames", 64, 64, 1, {10, 16 * GiB, 100}, 3, false, 3},
      {"1 frame", 64, 64, 1, {10, 16 * GiB, 100}, 1, false, 1},
      {"static scene", 64, 64, 1, {10, 16 * GiB, 100}, 100, true, 1},
      {"downsample 2 quarters the frame", 3840, 2160, 2, {10, 8 * GiB, 100}, 100, false, 6},
      {"a frame above the whole budget", 40000, 40000, 0, {10, 8 * GiB, 100}, 100, false, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(raster_thread_count(c.w, c.h, c.ds, c.m, c.frames, c.is_static), c.want) << c.what;
  }
  EXPECT_EQ(raster_memory_budget(std::nullopt), 171'798'691u);
  EXPECT_EQ(raster_memory_budget(uint64_t{1} << 20), 33'554'432u);
  EXPECT_EQ(raster_memory_budget(uint64_t{1} << 40), 536'870'912u);
}

// A 32 × 18 solid sliding right over the first second, one step per frame.
CompModel sliding_comp() {
  LayerModel l = solid_layer(1, {1, 0.5, 0}, 8, 8);
  l.transform.position = AnimatedVec2::keyed({{0, {0, 9}, Interpolation::Linear}, {1, {25, 9}, Interpolation::Linear}});
  return comp_model(32, 18, {l});
}

std::vector<FrameKey> frames_of(int32_t first, int32_t count, uint32_t scale = 25) {
  std::vector<FrameKey> out;
  for (int32_t i = 0; i < count; ++i) out.push_back({first + i, scale});
  return out;
}

RasterFillEnv env_with(BackgroundWorkerRegistry& reg, uint32_t hardware_threads) {
  return RasterFillEnv{&reg, RasterMachine{hardware_threads, 16 * GiB, 100}, std::nullopt};
}

// Takes results as the idle hook would until the fill's channel closes.
std::vector<RasterFrameResult> collect(RasterJobSlot& slot) {
  std::vector<RasterFrameResult> out;
  for (int spins = 0; slot.running() && spins < 200000; ++spins) {
    auto got = drain_result_channel(slot, 8, [](const RasterFrameResult& r) { return uint64_t{r.pixels.size()}; });
    if (got.empty()) std::this_thread::sleep_for(100us);
    for (auto& r : got) out.push_back(std::move(r));
  }
  EXPECT_FALSE(slot.running()) << "the channel closes once every thread has ended";
  return out;
}

std::shared_ptr<const CompModel> shared(CompModel c) { return std::make_shared<const CompModel>(std::move(c)); }

TEST(RasterFill, EveryListedFrameArrivesOnceAndMatchesTheDirectRender) {
  BackgroundWorkerRegistry reg;
  RasterJobSlot slot;
  const CompModel comp = sliding_comp();
  const auto frames = frames_of(0, 30);
  EXPECT_EQ(run_raster_fill(slot, shared(comp), frames, 1, env_with(reg, 6)), 4u);
  auto results = collect(slot);
  ASSERT_EQ(results.size(), frames.size());
  std::sort(results.begin(), results.end(), [](const auto& a, const auto& b) { return a.time.value < b.time.value; });
  for (size_t i = 0; i < frames.size(); ++i) {
    const RasterFrameResult& r = results[i];
    EXPECT_EQ(r.time, frames[i]);
    EXPECT_DOUBLE_EQ(r.seconds, frames[i].value / 25.0);
    auto direct = render_raster_frame(comp, 1, true, r.seconds);
    ASSERT_TRUE(direct.ok());
    ASSERT_EQ(r.width, direct.value().width);
    ASSERT_EQ(r.height, direct.value().height);
    EXPECT_TRUE(std::equal(direct.value().pixels.begin(), direct.value().pixels.end(), r.pixels.bytes().begin()))
        << "frame " << i;
  }
  EXPECT_FALSE(slot.cancel->load());
}

TEST(RasterFill, StaticCompositionDrawsOnceForEveryFrame) {
  BackgroundWorkerRegistry reg;
  RasterJobSlot slot;
  EXPECT_EQ(run_raster_fill(slot, shared(comp_model(16, 16, {solid_layer(1, {0, 1, 0}, 8, 8)})), frames_of(0, 12), 1,
                            env_with(reg, 10)),
            1u);
  auto results = collect(slot);
  ASSERT_EQ(results.size(), 12u);
  for (const auto& r : results) EXPECT_EQ(r.pixels.data(), results[0].pixels.data()) << "one shared pixel buffer";
}

// Live workers of the registry that wait for their stop handle.
struct ParkedWorkers {
  std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
  void start(BackgroundWorkerRegistry& reg, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      auto s = stop;
      ASSERT_TRUE(reg.start("velocinta-test", [s] { while (!s->load()) std::this_thread::sleep_for(1ms); },
                            [s] { s->store(true); })
                      .ok());
    }
  }
};

TEST(RasterFill, RegistryLimit) {
  struct Case {
    size_t others;
    uint32_t want_started;
    bool want_cancel;
  } cases[] = {{15, 1, false}, {16, 0, true}};
  for (const Case& c : cases) {
    LogCapture log;
    BackgroundWorkerRegistry reg;
    ParkedWorkers parked;
    parked.start(reg, c.others);
    RasterJobSlot slot;
    EXPECT_EQ(run_raster_fill(slot, shared(sliding_comp()), frames_of(0, 20), 1, env_with(reg, 10)), c.want_started);
    EXPECT_TRUE(log.contains("ERROR: cache: background worker limit reached")) << c.others;
    EXPECT_EQ(slot.cancel->load(), c.want_cancel) << c.others;
    EXPECT_EQ(slot.running(), c.want_started > 0) << c.others;
    EXPECT_EQ(log.contains("ERROR: raster fill: aucun thread démarré — reprise AE demandée"), c.want_cancel);
    if (slot.running()) {
      EXPECT_EQ(collect(slot).size(), 20u);
    }
    reg.drain();
  }
}

TEST(RasterFill, PreparationFailureRaisesTheFlagAndStartsNothing) {
  LogCapture log;
  BackgroundWorkerRegistry reg;
  RasterJobSlot slot;
  EXPECT_EQ(run_raster_fill(slot, shared(comp_model(8, 8, {solid_layer(1, {NAN, 0, 0}, 4, 4)})), frames_of(0, 5), 1,
                            env_with(reg, 10)),
            0u);
  EXPECT_TRUE(log.contains("ERROR: raster fill: non-finite solid or visibility"));
  EXPECT_TRUE(slot.cancel->load());
  EXPECT_FALSE(slot.running());
  EXPECT_EQ(reg.live_count(), 0u);

  // An empty list ends the call quietly, flag lowered.
  RasterJobSlot quiet;
  EXPECT_EQ(run_raster_fill(quiet, shared(sliding_comp()), {}, 1, env_with(reg, 10)), 0u);
  EXPECT_FALSE(quiet.cancel->load());
}

TEST(RasterFill, AFrameThatFailsEndsItsThreadAndKeepsWhatWasSent) {
  LogCapture log;
  BackgroundWorkerRegistry reg;
  RasterJobSlot slot;
  LayerModel wild = solid_layer(1, {1, 1, 1}, 4, 4);
  wild.transform.position =
      AnimatedVec2::keyed({{0, {-1.7e308, 0}, Interpolation::Linear}, {1, {1.7e308, 0}, Interpolation::Linear}});
  // Frame 0 sits on a key; frame 12 lies between the keys, where the
  // difference of the positions overflows.
  EXPECT_EQ(run_raster_fill(slot, shared(comp_model(8, 8, {wild})), {{0, 25}, {12, 25}, {13, 25}}, 1,
                            env_with(reg, 1)),
            1u);
  auto results = collect(slot);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].time, (FrameKey{0, 25}));
  EXPECT_TRUE(log.contains("ERROR: raster fill: non-finite evaluated transform"));
  EXPECT_TRUE(slot.cancel->load());
}

TEST(RasterFill, ScaleZeroCountsAsOne) {
  BackgroundWorkerRegistry reg;
  RasterJobSlot slot;
  run_raster_fill(slot, shared(sliding_comp()), {{2, 0}}, 1, env_with(reg, 4));
  auto results = collect(slot);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_DOUBLE_EQ(results[0].seconds, 2.0);
  EXPECT_EQ(results[0].time, (FrameKey{2, 0}));
}

std::set<std::string> raster_thread_names() {
  std::set<std::string> names;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return names;
  while (dirent* e = readdir(dir)) {
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name) && name.rfind("vel-raster-", 0) == 0) names.insert(name);
  }
  closedir(dir);
  return names;
}

TEST(RasterFill, ANewFillEndsTheEarlierThreadsAndStartsFromItsFirstFrame) {
  BackgroundWorkerRegistry reg;
  RasterJobSlot slot;
  // Not drained: the channel fills and the threads wait, polling.
  ASSERT_EQ(run_raster_fill(slot, shared(sliding_comp()), frames_of(0, 25, 30), 1, env_with(reg, 5)), 3u);
  // Each names itself on starting and then waits with a result in hand.
  for (int i = 0; i < 20000 && raster_thread_names().size() < 3; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(raster_thread_names(), (std::set<std::string>{"vel-raster-0", "vel-raster-1", "vel-raster-2"}))
      << "named in start order";
  const auto old_cancel = slot.cancel;

  ASSERT_EQ(run_raster_fill(slot, shared(sliding_comp()), frames_of(5, 20), 1, env_with(reg, 1)), 1u);
  auto results = collect(slot);
  ASSERT_EQ(results.size(), 20u);
  EXPECT_EQ(results[0].time, (FrameKey{5, 25})) << "the new thread takes the new list from index 0";
  for (const auto& r : results) EXPECT_EQ(r.time.scale, 25u) << "no result of the earlier fill";
  EXPECT_NE(old_cancel.get(), slot.cancel.get());
  reg.drain();
  EXPECT_EQ(reg.live_count(), 0u);
}

TEST(RasterFill, TheDeathDrainEndsThreadsWaitingOnAFullChannel) {
  BackgroundWorkerRegistry reg;
  RasterJobSlot slot;
  ASSERT_EQ(run_raster_fill(slot, shared(sliding_comp()), frames_of(0, 25), 1, env_with(reg, 10)), 8u);
  // The receiver stays in the slot, undrained, as in the plug-in at quit.
  reg.drain();
  EXPECT_EQ(reg.live_count(), 0u);
  EXPECT_TRUE(slot.running());
  std::optional<RasterFrameResult> r;
  size_t waiting = 0;
  while (slot.receiver->try_recv(r) == RecvState::Value) ++waiting;
  EXPECT_LE(waiting, kRasterChannelCapacity);
}

// Eight threads fill while the main thread drains and renews the slot under
// them: run under ThreadSanitizer.
TEST(RasterFill, DrainRacingRenewal) {
  BackgroundWorkerRegistry reg(/*limit=*/64);  // cancelled threads may not have ended yet
  RasterJobSlot slot;
  auto comp = shared(sliding_comp());
  RasterFillEnv env = env_with(reg, 10);
  env.forced_threads = 8;
  for (int round = 0; round < 6; ++round) {
    ASSERT_EQ(run_raster_fill(slot, comp, frames_of(0, 50), 1, env), 8u);
    for (int i = 0; i < 3 && slot.running(); ++i) {
      (void)drain_result_channel(slot, 8, [](const RasterFrameResult& r) { return uint64_t{r.pixels.size()}; });
      std::this_thread::yield();
    }
    if (round % 2 == 0) renew_job_slot(slot);
  }
  EXPECT_EQ(collect(slot).size() <= 50, true);
  reg.drain();
  EXPECT_EQ(reg.live_count(), 0u);
}

}  // namespace
}  // namespace vel::testing
