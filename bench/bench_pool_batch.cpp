// A batch of stand-in aerender workers against the bare process work under
// it: launching a batch (one worker, its decoders and discovery) against one
// posix_spawn of the same worker into its own new output folder and log; ending a plan of 8 running workers against
// killpg and waitpid of 8 identical ones; and a batch's throughput from
// launch to its last frame decoded against the same workers started directly
// on the same ranges, until they exit.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "pool/batch/batch_launch.h"
#include "pool/process/worker_launch.h"
#include "pool/runtime/pool_directory.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "vel_build_paths.h"

namespace {

namespace fs = std::filesystem;

std::string aerender_path() { return VEL_AERENDER_PATH; }

// A scratch folder of this run, removed with everything in it at exit.
struct Scratch {
  fs::path dir;
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "vel-bench-batch-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) dir = pattern;
  }
  ~Scratch() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
};

fs::path scratch() {
  static const Scratch s;
  return s.dir;
}

// The sample project with a fixed per-frame cost, as the snapshot.
fs::path snapshot_with_cost(int cost_ms) {
  const fs::path out = scratch() / ("snapshot-" + std::to_string(cost_ms) + ".aep");
  std::ifstream in(fs::path(VEL_DEMO_DIR) / "sample.aep");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.empty()) {
    // Every figure below would time workers failing at once: stop loudly.
    std::fprintf(stderr, "the sample project %s/sample.aep cannot be read\n", VEL_DEMO_DIR);
    std::exit(2);
  }
  const std::string from = "\"render_cost_ms\": 40";
  if (auto at = text.find(from); at != std::string::npos)
    text.replace(at, from.size(), "\"render_cost_ms\": " + std::to_string(cost_ms));
  std::ofstream(out) << text;
  return out;
}

const std::optional<fs::path>& aerender() {
  static const std::optional<fs::path> path = fs::path(aerender_path());
  return path;
}

vel::PoolRuntime ready_runtime(const fs::path& snapshot) {
  vel::PoolRuntime rt = vel::new_pool_runtime(vel::kOutputPsd);
  rt.pool_enabled = true;
  rt.templates_ready = 1;
  rt.snapshot_path = snapshot;
  rt.file_downsample = 4;
  return rt;
}

vel::LaunchWorld bench_world(const vel::PoolRuntime& rt, uint64_t workers) {
  vel::LaunchWorld w = vel::live_launch_world(rt, 0);
  w.resolve_aerender = [](vel::AerenderLookup&) -> const std::optional<fs::path>& { return aerender(); };
  w.pool_directory = []() -> std::optional<fs::path> { return scratch() / "velocinta_pool"; };
  // The starts run in place: what is timed is the launch's whole work, the
  // spawn included, as in its baseline, and the launch returns with its jobs.
  w.run_off_main = {};
  // One worker as a user who set the pool to one: measured admission would
  // otherwise start as many as this machine's processors and memory admit.
  w.pool_worker_count = [] { return uint64_t{1}; };
  if (workers > 1) {
    w.measured_admission = false;
    w.pool_ramp = false;
    w.effective_worker_count = [workers] { return workers; };
  }
  return w;
}

std::vector<vel::FrameRange> ranges_of(uint64_t count, int64_t frames_each) {
  std::vector<vel::FrameRange> out;
  for (uint64_t i = 0; i < count; ++i) {
    const int64_t first = static_cast<int64_t>(i) * frames_each;
    out.push_back({first, first + frames_each - 1});
  }
  return out;
}

// The worker's command line as the launch builds it, for the baselines.
std::vector<std::string> worker_args(const fs::path& snapshot, const fs::path& worker_dir, vel::FrameRange r,
                                     bool make_dir = true) {
  if (make_dir) fs::create_directories(worker_dir);
  vel::WorkerCommand c{snapshot.string(), "Main", r.start, r.end, vel::PoolOutputKind::Psd, 80,
                       vel::worker_output_path(worker_dir, vel::PoolOutputKind::Psd).string(), true, 4, true};
  return vel::worker_arguments(c);
}

pid_t bare_spawn(const std::vector<std::string>& args, int out_fd = -1, int err_fd = -1) {
  pid_t pid = -1;
  const auto env = vel::worker_environment(vel::current_environment(), vel::PoolOutputKind::Psd);
  return vel::spawn_worker_process(pid, aerender_path(), args, env, out_fd, err_fd) == 0 ? pid : -1;
}

void kill_and_reap(pid_t pid) {
  if (pid <= 0) return;
  ::killpg(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

void BM_launch_pool_batch(benchmark::State& state) {
  ::setenv("SIM_AERENDER_SILENT", "1", 1);
  const fs::path snapshot = snapshot_with_cost(40);
  for (auto _ : state) {
    state.PauseTiming();
    vel::PoolRuntime rt = ready_runtime(snapshot);
    const vel::LaunchWorld w = bench_world(rt, 1);
    const auto ranges = ranges_of(4, 10);
    state.ResumeTiming();
    vel::launch_pool_batch(rt, "Main", ranges, 24, 1, w);
    state.PauseTiming();
    if (!rt.plan) {
      state.SkipWithError("no batch started");
      break;
    }
    rt.plan.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_launch_pool_batch)->Unit(benchmark::kMillisecond)->Iterations(30);

// The bare spawn gets what it needs as the launch's worker does: its output
// folder and the log its output goes to, both made new each time (the launch
// makes them, with the job folder around them), and taken away untimed as the
// plan's drop takes the job folder away.
void BM_launch_pool_batch_baseline(benchmark::State& state) {
  ::setenv("SIM_AERENDER_SILENT", "1", 1);
  const fs::path snapshot = snapshot_with_cost(40);
  const fs::path runs = scratch() / "baseline-launch";
  fs::create_directories(runs);
  uint64_t round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string name = "w" + std::to_string(round++);
    const fs::path worker_dir = runs / name;
    const fs::path log_path = runs / (name + ".log");
    const auto args = worker_args(snapshot, worker_dir, {0, 9}, false);
    state.ResumeTiming();
    ::mkdir(worker_dir.c_str(), 0700);
    const int log_fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    const int err_fd = ::fcntl(log_fd, F_DUPFD_CLOEXEC, 0);
    const pid_t pid = bare_spawn(args, log_fd, err_fd);
    state.PauseTiming();
    ::close(log_fd);
    ::close(err_fd);
    if (pid < 0) {
      state.SkipWithError("spawn failed");
      break;
    }
    kill_and_reap(pid);
    std::error_code ec;
    fs::remove_all(worker_dir, ec);
    fs::remove(log_path, ec);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_launch_pool_batch_baseline)->Unit(benchmark::kMillisecond)->Iterations(30);

void BM_drop_pool_plan(benchmark::State& state) {
  ::setenv("SIM_AERENDER_SILENT", "1", 1);
  const fs::path snapshot = snapshot_with_cost(40);
  for (auto _ : state) {
    state.PauseTiming();
    vel::PoolRuntime rt = ready_runtime(snapshot);
    vel::launch_pool_batch(rt, "Main", ranges_of(8, 10), 24, 1, bench_world(rt, 8));
    if (!rt.plan || rt.plan->jobs.size() != 8) {
      state.SkipWithError("8 workers did not start");
      break;
    }
    state.ResumeTiming();
    rt.plan.reset();
  }
}
BENCHMARK(BM_drop_pool_plan)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_drop_pool_plan_baseline(benchmark::State& state) {
  ::setenv("SIM_AERENDER_SILENT", "1", 1);
  const fs::path snapshot = snapshot_with_cost(40);
  std::vector<std::vector<std::string>> args;
  for (const auto& r : ranges_of(8, 10))
    args.push_back(worker_args(snapshot, scratch() / "baseline" / ("w" + std::to_string(r.start)), r));
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<pid_t> pids;
    for (const auto& a : args) pids.push_back(bare_spawn(a));
    state.ResumeTiming();
    for (pid_t p : pids) ::killpg(p, SIGKILL);
    for (pid_t p : pids) {
      int status = 0;
      ::waitpid(p, &status, 0);
    }
  }
}
BENCHMARK(BM_drop_pool_plan_baseline)->Unit(benchmark::kMillisecond)->Iterations(20);

constexpr int64_t kFramesEach = 12;
constexpr int kFrameCostMs = 30;

// Launch to the last frame decoded, the supervision's part played here:
// reap, ask the discovery worker, feed the decoders, collect the frames.
void BM_batch_throughput(benchmark::State& state) {
  ::unsetenv("SIM_AERENDER_SILENT");
  const uint64_t workers = static_cast<uint64_t>(state.range(0));
  const fs::path snapshot = snapshot_with_cost(kFrameCostMs);
  const size_t wanted = static_cast<size_t>(workers) * kFramesEach;
  for (auto _ : state) {
    vel::PoolRuntime rt = ready_runtime(snapshot);
    vel::launch_pool_batch(rt, "Main", ranges_of(workers, kFramesEach), 24, 1, bench_world(rt, workers));
    if (!rt.plan) {
      state.SkipWithError("no batch started");
      break;
    }
    vel::PoolPlan& plan = *rt.plan;
    std::set<std::string> queued;
    std::set<int64_t> decoded;
    std::vector<vel::EndedClient> ended;
    for (int round = 0; round < 20000 && decoded.size() < wanted; ++round) {
      std::vector<size_t> exited;
      vel::reap_exited_workers(plan.jobs, ended, exited);
      if (plan.discovery->requests.try_send(vel::DiscoveryRequest{true, 0})) {
        if (auto report = plan.discovery->reports.recv()) {
          for (const vel::DiscoveredFile& f : report->files)
            if (queued.insert(f.path.string()).second) plan.decode_jobs.send(vel::DecodeJob{f.path, f.frame, 0.0, 1});
        }
      }
      // Every queued file gives one result, decoded or not.
      while (queued.size() > decoded.size()) {
        auto frame = plan.frames.recv();
        if (!frame) break;
        decoded.insert(frame->frame);
      }
    }
    if (decoded.size() < wanted) state.SkipWithError("frames missing");
    rt.plan.reset();
  }
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(wanted), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_batch_throughput)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_batch_throughput_baseline(benchmark::State& state) {
  ::unsetenv("SIM_AERENDER_SILENT");
  const uint64_t workers = static_cast<uint64_t>(state.range(0));
  const fs::path snapshot = snapshot_with_cost(kFrameCostMs);
  uint64_t round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::vector<std::string>> args;
    const fs::path dir = scratch() / ("direct-" + std::to_string(workers) + "-" + std::to_string(round++));
    for (const auto& r : ranges_of(workers, kFramesEach))
      args.push_back(worker_args(snapshot, dir / ("w" + std::to_string(r.start)), r));
    state.ResumeTiming();
    std::vector<pid_t> pids;
    for (const auto& a : args) pids.push_back(bare_spawn(a));
    for (pid_t p : pids) {
      int status = 0;
      ::waitpid(p, &status, 0);
    }
  }
  state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(workers * kFramesEach),
                                                      benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_batch_throughput_baseline)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
