// The pool filling the sample project's 240-frame work area through the real
// launch, the stand-in aerender, the batch's decoders or memory readers and
// the supervision, timed from the launch until the last frame is in the RAM
// cache. Measured admission and the ramp are off, except in pool_fill_defaults.
//
// - pool_fill/N: N workers at once at half size, render cost 40 ms a frame,
//   PSD files; the baseline is the same fill with one worker. The ratio to
//   quote is pool_fill/N over pool_fill_baseline, against 1 / (0.7 × N).
// - pool_fill_defaults/4: four workers asked for with the switches as a
//   user has them (measured admission, the adaptive scheduler, the ramp, the
//   memory tick sampling the engines); the baseline is the same with one
//   worker asked for. The ratio to quote is the baseline over pool_fill_defaults/4.
// - pool_fill_memory: one worker at 1920 × 1080, render cost 0, its frames
//   through the plug-in's output module and shared memory; the baseline is
//   the same worker writing PSD files. Both read their templates from the
//   host's store, which holds "velocinta-memory-v1". The composition is
//   reduced to its one plain solid: what is measured is the road a frame
//   takes, not the stand-in's compositing.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench_sample_project.h"
#include "cache/frame_cache.h"
#include "cache/frame_cache_ops.h"
#include "core/machine.h"
#include "pool/batch/batch_launch.h"
#include "pool/batch/batch_supervision.h"
#include "pool/process/worker_launch.h"
#include "pool/runtime/pool_memory_tick.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "vel_build_paths.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kFrames = 240;

// An environment variable set for the life of a scratch, then put back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// The host's template store, as the plug-in leaves it once its templates
// are made, with the memory output template beside Photoshop.
nlohmann::json template_store() {
  const nlohmann::json common = {{"Resize", false}, {"Crop", false}, {"Starting #", "0"},
                                 {"Use Comp Frame Number", "true"}};
  nlohmann::json photoshop = common;
  photoshop.update({{"Format", "Photoshop"}, {"Channels", "RGB + Alpha"}, {"Depth", "Millions of Colors+"},
                    {"Color", "Premultiplied (Matted)"}});
  nlohmann::json memory = common;
  memory.update({{"Format", "Velocinta Memory 8bpc"}, {"Channels", "RGB + Alpha"}, {"Depth", "Millions of Colors+"},
                 {"Color", "Straight (Unmatted)"}, {"Module", "VnM1"}});
  return {{"rs",
           {{"velocinta-extreme-v6", {{"Resolution", "Full"}}},
            {"velocinta-half-v6", {{"Resolution", "Half"}}},
            {"velocinta-quarter-v6", {{"Resolution", "Quarter"}}}}},
          {"om", {{"Photoshop", photoshop}, {"velocinta-memory-v1", memory}}}};
}

// With `one_solid` the workers also find the host's template store and the
// plug-in in their environment.
struct Scratch : bench::SampleProjectDir {
  std::optional<ScopedEnv> home, plugin;

  Scratch(uint32_t render_cost_ms, bool one_solid) : SampleProjectDir("vel-bench-fill", render_cost_ms, one_solid) {
    if (!one_solid || project.empty()) return;
    const fs::path prefs = dir / "Library" / "Preferences";
    fs::create_directories(prefs);
    std::ofstream(prefs / "simhost-templates.json") << template_store().dump(2) << '\n';
    home.emplace("HOME", dir.string());
    plugin.emplace("SIMHOST_PLUGIN", VEL_PLUGIN_PATH);
  }
};

struct Fill {
  uint8_t output = vel::kOutputPsd;
  uint64_t workers = 1;
  uint64_t file_ds = 2;
  bool defaults = false;  // the switches as they come, the engines sampled
};

// One fill with `fill.workers` ranges started at once. Answers the seconds
// from the launch to the 240th frame in the cache, or nothing when it did
// not complete (bounded by the batch's own watchdogs and a tick count).
std::optional<double> fill_once(const Scratch& s, const Fill& fill) {
  // The reader of an earlier memory batch lets its token go as it ends.
  for (int i = 0; i < 5000 && vel::memory_output_token_held(); ++i) ::usleep(1000);
  vel::PoolRuntime rt = vel::new_pool_runtime(fill.output);
  rt.pool_enabled = true;
  rt.templates_ready = 1;
  rt.file_downsample = fill.file_ds;
  rt.comp_identity = 1;
  rt.comp_dimensions = std::pair<uint32_t, uint32_t>{1920, 1080};
  rt.snapshot_path = s.project;
  const std::optional<fs::path> aerender = fs::path(VEL_AERENDER_PATH);
  const uint64_t workers = fill.workers;
  vel::LaunchWorld w = vel::live_launch_world(rt, 0);
  w.measured_admission = fill.defaults;
  w.pool_ramp = fill.defaults;
  w.pool_worker_count = [workers = fill.workers] { return workers; };
  w.resolve_aerender = [&aerender](vel::AerenderLookup&) -> const std::optional<fs::path>& { return aerender; };
  w.pool_directory = [&s]() -> std::optional<fs::path> { return s.dir / "velocinta_pool"; };
  // N workers, as the effective count gives them on a machine whose memory
  // bound allows N (5 GiB a worker).
  w.effective_worker_count = [workers] { return workers; };
  std::vector<vel::FrameRange> ranges;
  const int64_t per = kFrames / static_cast<int64_t>(workers);
  for (uint64_t i = 0; i < workers; ++i) {
    const int64_t first = static_cast<int64_t>(i) * per;
    ranges.push_back({first, i + 1 == workers ? kFrames - 1 : first + per - 1});
  }
  const uint64_t started = vel::mono_ns();
  vel::launch_pool_batch(rt, "Main", ranges, 24, 1, w);
  if (!rt.plan) return std::nullopt;
  vel::SupervisionWorld sw = vel::live_supervision_world(rt, 0, 0);
  sw.measured_admission = fill.defaults;
  sw.adaptive_scheduler = fill.defaults;
  sw.configured_workers = workers;
  sw.effective_workers = [workers] { return workers; };
  vel::FrameCache cache;
  for (int tick = 0; tick < 200000 && cache.index.size() < static_cast<size_t>(kFrames) && rt.plan; ++tick) {
    if (fill.defaults) vel::pool_memory_tick(rt, vel::mono_ns());
    for (vel::IngestedFrame& f : vel::supervise_batches(rt, fill.file_ds, sw)) {
      vel::insert_frame(cache, f.key, std::move(f.pixels));
    }
    if (cache.index.size() < static_cast<size_t>(kFrames)) ::usleep(1000);  // an idle tick's pace
  }
  const uint64_t filled = vel::mono_ns();
  if (cache.index.size() != static_cast<size_t>(kFrames)) return std::nullopt;
  return static_cast<double>(filled - started) / 1e9;
}

void run_fill(benchmark::State& state, const Scratch& s, const Fill& fill) {
  ::setenv("VELOCINTA_PERF", "0", 1);
  for (auto _ : state) {
    const std::optional<double> secs = fill_once(s, fill);
    if (!secs) {
      state.SkipWithError("the work area was not filled");
      break;
    }
    state.SetIterationTime(*secs);
  }
}

void pool_fill(benchmark::State& state) {
  const Scratch s(40, false);
  run_fill(state, s, Fill{vel::kOutputPsd, static_cast<uint64_t>(state.range(0)), 2});
}
BENCHMARK(pool_fill)->Arg(2)->Arg(4)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void pool_fill_baseline(benchmark::State& state) {
  const Scratch s(40, false);
  run_fill(state, s, Fill{vel::kOutputPsd, 1, 2});
}
BENCHMARK(pool_fill_baseline)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void pool_fill_defaults(benchmark::State& state) {
  const Scratch s(40, false);
  run_fill(state, s, Fill{vel::kOutputPsd, static_cast<uint64_t>(state.range(0)), 2, true});
}
BENCHMARK(pool_fill_defaults)->Arg(4)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void pool_fill_defaults_baseline(benchmark::State& state) {
  const Scratch s(40, false);
  run_fill(state, s, Fill{vel::kOutputPsd, 1, 2, true});
}
BENCHMARK(pool_fill_defaults_baseline)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void pool_fill_memory(benchmark::State& state) {
  const Scratch s(0, true);
  run_fill(state, s, Fill{vel::kOutputMemory, 1, 1});
}
BENCHMARK(pool_fill_memory)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void pool_fill_memory_baseline(benchmark::State& state) {
  const Scratch s(0, true);
  run_fill(state, s, Fill{vel::kOutputPsd, 1, 1});
}
BENCHMARK(pool_fill_memory_baseline)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
