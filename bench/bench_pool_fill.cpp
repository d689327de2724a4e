// The pool filling the sample project's 240-frame work area at half size
// (render cost 40 ms a frame): N workers at once, measured admission off,
// from the launch until the last frame is in the RAM cache, through the
// real launch, the stand-in aerender, the decoders and the supervision. The
// baseline is the same fill with one worker; the ratio to quote is
// pool_fill/N over pool_fill_baseline, against 1 / (0.7 × N).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cache/frame_cache.h"
#include "cache/frame_cache_ops.h"
#include "core/machine.h"
#include "pool/batch_launch.h"
#include "pool/batch_supervision.h"
#include "pool/pool_runtime_ops.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kFrames = 240;

struct Scratch {
  fs::path dir;
  fs::path project;
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "vel-bench-fill-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    dir = pattern;
    std::ifstream in(std::string(VEL_DEMO_DIR) + "/sample.aep");
    nlohmann::json p = nlohmann::json::parse(in, nullptr, false);
    if (!p.is_object()) return;
    for (auto& c : p["compositions"]) c["render_cost_ms"] = 40;
    project = dir / "sample.aep";
    std::ofstream(project) << p.dump();
  }
  ~Scratch() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
};

// One fill with `workers` ranges started at once; false when it did not
// complete (bounded by the batch's own watchdogs and a tick count).
bool fill(const Scratch& s, uint64_t workers) {
  vel::PoolRuntime rt = vel::new_pool_runtime(vel::kOutputPsd);
  rt.pool_enabled = true;
  rt.templates_ready = 1;
  rt.file_downsample = 2;
  rt.comp_identity = 1;
  rt.snapshot_path = s.project;
  const std::optional<fs::path> aerender = fs::path(VEL_AERENDER_PATH);
  vel::LaunchWorld w = vel::live_launch_world(rt, 0);
  w.measured_admission = false;
  w.pool_ramp = false;
  w.resolve_aerender = [&aerender](vel::AerenderLookup&) -> const std::optional<fs::path>& { return aerender; };
  w.pool_directory = [&s]() -> std::optional<fs::path> { return s.dir / "velocinta_pool"; };
  w.effective_worker_count = [workers] { return workers; };
  std::vector<vel::FrameRange> ranges;
  const int64_t per = kFrames / static_cast<int64_t>(workers);
  for (uint64_t i = 0; i < workers; ++i) {
    const int64_t first = static_cast<int64_t>(i) * per;
    ranges.push_back({first, i + 1 == workers ? kFrames - 1 : first + per - 1});
  }
  vel::launch_pool_batch(rt, "Main", ranges, 24, 1, w);
  if (!rt.plan) return false;
  vel::SupervisionWorld sw = vel::live_supervision_world(rt, 0, 0);
  sw.measured_admission = false;
  sw.adaptive_scheduler = false;
  sw.effective_workers = [workers] { return workers; };
  vel::FrameCache cache;
  for (int tick = 0; tick < 200000 && cache.index.size() < static_cast<size_t>(kFrames) && rt.plan; ++tick) {
    for (vel::IngestedFrame& f : vel::supervise_batches(rt, 2, sw)) {
      vel::insert_frame(cache, f.key, std::move(f.pixels));
    }
    ::usleep(1000);  // an idle tick's pace
  }
  return cache.index.size() == static_cast<size_t>(kFrames);
}

void run_fill(benchmark::State& state, uint64_t workers) {
  ::setenv("VELOCINTA_PERF", "0", 1);
  Scratch s;
  for (auto _ : state) {
    if (!fill(s, workers)) state.SkipWithError("the work area was not filled");
  }
}

void pool_fill(benchmark::State& state) { run_fill(state, static_cast<uint64_t>(state.range(0))); }
BENCHMARK(pool_fill)->Arg(2)->Arg(4)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void pool_fill_baseline(benchmark::State& state) { run_fill(state, 1); }
BENCHMARK(pool_fill_baseline)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
