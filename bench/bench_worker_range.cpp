// One pool worker's range of 48 frames at 1920 × 1080 from the stand-in
// aerender (render cost 0), start to last frame in hand: through the plug-in's
// output module, the shared-memory segment and the reader, against the same
// stand-in writing Photoshop files that the file road's decode workers read.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench_sample_project.h"
#include "core/machine.h"
#include "memout/output_consumer.h"
#include "pool/decode/decode_workers.h"
#include "pool/decode/memory_output_reader.h"
#include "pool/process/worker_launch.h"
#include "vel_build_paths.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int64_t kLast = 47;

// The main composition free to render and reduced to its one plain solid.
struct Scratch : bench::SampleProjectDir {
  Scratch() : SampleProjectDir("vel-bench-range", 0, true) {}
};

// The stand-in's run to its end; false when it failed.
bool run_aerender(const Scratch& s, const std::string& om, const fs::path& output, bool memory) {
  std::vector<std::string> args = {VEL_AERENDER_PATH, "-project", s.project.string(), "-comp", "Main", "-s", "0",
                                   "-e", std::to_string(kLast), "-OMtemplate", om, "-mfr", "ON", "50", "-output",
                                   output.string()};
  std::vector<std::string> env = {"HOME=" + s.dir.string(), "PATH=/usr/bin:/bin"};
  if (memory) {
    env.insert(env.end(), {"VELOCINTA_OUTPUT_FORMAT=memory", "VELOCINTA_POOL_WORKER=1",
                           std::string("SIMHOST_PLUGIN=") + VEL_PLUGIN_PATH});
  }
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int e = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (e != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_worker_range_memory(benchmark::State& state) {
  Scratch s;
  if (s.project.empty()) return state.SkipWithError("no scratch project");
  const fs::path worker = s.dir / "w0";
  fs::create_directories(worker);
  for (auto _ : state) {
    if (!vel::take_memory_output_token()) return state.SkipWithError("memory output token held");
    vel::OutputRequest req;
    req.range_end = kLast;
    req.step = 1;
    req.key_scale = 24;
    req.width = 1920;
    req.height = 1080;
    auto consumer = vel::create_memory_output((worker / "output.vnm").string(), req);
    if (!consumer) {
      vel::release_memory_output_token();
      return state.SkipWithError(consumer.error().message.c_str());
    }
    auto [tx, rx] = vel::make_bounded_channel<vel::PoolFrameDelivery>(4);
    auto abandon = std::make_shared<std::atomic<bool>>(false);
    auto exited = std::make_shared<std::atomic<bool>>(false);
    vel::BackgroundWorkerRegistry registry;
    (void)vel::start_memory_output_reader(
        vel::MemoryReaderContext(std::move(tx), std::move(*consumer), std::chrono::steady_clock::now(), nullptr,
                                 std::make_shared<std::atomic<bool>>(false), std::make_shared<std::atomic<bool>>(false),
                                 abandon, std::make_shared<std::atomic<uint64_t>>(1), exited, 0),
        registry);
    size_t frames = 0;
    std::thread drain([&frames, rx = std::move(rx)]() mutable {
      while (rx.recv()) ++frames;
    });
    const bool ok = run_aerender(s, "velocinta-memory-v1", worker / "output.vnm", true);
    abandon->store(true);
    drain.join();
    exited->wait(false);
    registry.drain();
    if (!ok || frames != kLast + 1) return state.SkipWithError("the memory road lost frames");
  }
  state.SetItemsProcessed(state.iterations() * (kLast + 1));
}
BENCHMARK(BM_worker_range_memory)->Unit(benchmark::kMillisecond)->UseRealTime();

// The file road: the stand-in writes each frame's PSD (a temporary name,
// then the final one); each file is queued as it appears and the decode
// workers read, premultiply and delete it.
void BM_worker_range_memory_baseline(benchmark::State& state) {
  Scratch s;
  if (s.project.empty()) return state.SkipWithError("no scratch project");
  const fs::path worker = s.dir / "w0";
  fs::create_directories(worker);
  const vel::MemoryAndCpu machine = vel::memory_and_cpu_count();
  const uint64_t decoders =
      vel::decoder_thread_count(machine.memory_bytes, machine.cpu_count, 100, 1920, 1080, 1);
  for (auto _ : state) {
    auto [jobs_tx, jobs_rx] = vel::make_bounded_channel<vel::DecodeJob>(kLast + 1);
    auto [tx, rx] = vel::make_bounded_channel<vel::PoolFrameDelivery>(4);
    vel::DecodeWorkerContext ctx{std::move(tx), std::chrono::steady_clock::now(), nullptr,
                                 std::make_shared<std::atomic<bool>>(false), std::move(jobs_rx), false, {}};
    vel::start_decode_workers(decoders, ctx);
    ctx = {};  // only the decoders hold the channels now
    size_t frames = 0;
    std::thread drain([&frames, rx = std::move(rx)]() mutable {
      while (rx.recv()) ++frames;
    });
    std::atomic<bool> rendered{false};
    std::thread discover([&, jobs = std::move(jobs_tx)]() mutable {
      for (int64_t f = 0; f <= kLast; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "f_%05lld.psd", static_cast<long long>(f));
        const fs::path path = worker / name;
        while (!fs::exists(path) && !rendered.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!fs::exists(path)) break;
        jobs.send(vel::DecodeJob{path, f, f / 24.0, 1});
      }
    });
    const bool ok = run_aerender(s, "Photoshop", worker / "f_[#####].psd", false);
    rendered.store(true);
    discover.join();
    drain.join();
    if (!ok || frames != kLast + 1) return state.SkipWithError("the file road lost frames");
  }
  state.SetItemsProcessed(state.iterations() * (kLast + 1));
}
BENCHMARK(BM_worker_range_memory_baseline)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
