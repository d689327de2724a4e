// The pool's process layer against the bare work underneath it: killing a
// worker and its engine (against killpg, waitpid and one kill by known pid),
// parsing a 4096-line process listing (against splitting the same bytes into
// lines), and walking a client's tree in 4096 entries (against one pass).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "pool/process/client_tree.h"
#include "pool/process/engine_match.h"
#include "pool/process/proc_facts.h"
#include "pool/process/process_control.h"
#include "pool/process/process_listing.h"
#include "pool/process/worker_launch.h"
#include "pool/runtime/pool_directory.h"
#include "vel_build_paths.h"

namespace {

namespace fs = std::filesystem;

std::string aerender_path() { return VEL_AERENDER_PATH; }

// The run's scratch folder, removed with everything in it at exit.
struct ScratchPool {
  fs::path root;
  ScratchPool() {
    std::string pattern = (fs::temp_directory_path() / "vel-bench-pool-XXXXXX").string();
    root = ::mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
  }
  ~ScratchPool() {
    std::error_code ec;
    if (!root.empty()) fs::remove_all(root, ec);
  }
};

fs::path scratch_pool() {
  static const ScratchPool scratch;
  return scratch.root.empty() ? fs::path() : scratch.root / "velocinta_pool";
}

// A silent stand-in worker with one engine; answers its job and the engine.
std::pair<std::optional<vel::PoolJob>, pid_t> start_worker() {
  ::setenv("SIM_AERENDER_SILENT", "1", 1);
  vel::LaunchRequest r;
  r.aerender = aerender_path();
  r.snapshot_path = "/nonexistent/snapshot.aep";
  r.comp_name = "Main";
  r.mfr_percent = 50;
  auto job_dir = vel::create_job_dir(scratch_pool(), vel::delete_job_dir);
  if (!job_dir) {
    std::fprintf(stderr, "job folder: %s\n", job_dir.error().c_str());
    return {std::nullopt, -1};
  }
  r.job_dir = job_dir.value();
  auto job = vel::spawn_pool_worker(r);
  if (!job) {
    std::fprintf(stderr, "spawn failed: %s\n", r.aerender.c_str());
    return {std::nullopt, -1};
  }
  const pid_t client = job->child.pid();
  for (int i = 0; i < 2000 && vel::poll_child(job->child).state == vel::ChildState::Running; ++i) {
    for (pid_t pid : vel::list_process_ids()) {
      const auto f = vel::read_process_facts(pid);
      if (f && vel::engine_client_pid(f->args) == client) return {std::move(job), pid};
    }
    ::usleep(500);
  }
  return {std::move(job), -1};
}

// Starts a worker with the timer paused; nothing (and the run marked) when
// it did not start.
std::optional<std::pair<vel::PoolJob, pid_t>> paused_start(benchmark::State& state) {
  state.PauseTiming();
  auto [job, engine] = start_worker();
  if (!job || engine < 0) {
    state.SkipWithError("the stand-in worker did not start");
    return std::nullopt;
  }
  return std::make_pair(std::move(*job), engine);
}

void BM_kill_pool_worker(benchmark::State& state) {
  for (auto _ : state) {
    auto started = paused_start(state);
    if (!started) break;
    auto& job = started->first;
    state.ResumeTiming();
    vel::kill_pool_worker(job.child);
  }
}
BENCHMARK(BM_kill_pool_worker)->Unit(benchmark::kMillisecond)->Iterations(40);

void BM_kill_pool_worker_baseline(benchmark::State& state) {
  for (auto _ : state) {
    auto started = paused_start(state);
    if (!started) break;
    auto& [job, engine] = *started;
    const pid_t pid = job.child.pid();
    state.ResumeTiming();
    ::killpg(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::kill(engine, SIGKILL);
    state.PauseTiming();
    vel::kill_pool_worker(job.child);  // marks it reaped; nothing left to kill
    state.ResumeTiming();
  }
}
BENCHMARK(BM_kill_pool_worker_baseline)->Unit(benchmark::kMillisecond)->Iterations(40);

std::string listing_text() {
  std::string text;
  for (uint32_t i = 0; i < 4096; ++i) {
    text += "  " + std::to_string(1000 + i) + "  " + std::to_string(i == 0 ? 1 : 1000 + i / 2) + "  1000  " +
            std::to_string(2048 + i) + " /usr/lib/some/program --with an argument list of a few words " +
            std::to_string(i) + "\n";
  }
  return text;
}

void BM_process_listing_parse(benchmark::State& state) {
  const std::string text = listing_text();
  for (auto _ : state) {
    vel::MemoryListing l = vel::parse_memory_listing(text);
    benchmark::DoNotOptimize(l.rows.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_process_listing_parse);

void BM_process_listing_parse_baseline(benchmark::State& state) {
  const std::string text = listing_text();
  for (auto _ : state) {
    std::vector<std::string_view> lines;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      if (nl == nullptr) nl = end;
      lines.emplace_back(p, static_cast<size_t>(nl - p));
      p = nl + 1;
    }
    benchmark::DoNotOptimize(lines.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_process_listing_parse_baseline);

// A host, one client with 64 engines, each engine with a chain of helpers,
// and unrelated processes: 4096 entries.
vel::MemoryListing tree_rows() {
  using namespace std::string_view_literals;
  vel::MemoryListing l;
  l.add(100, 1, 1000, 4096, "host");
  l.add(200, 100, 1000, 4096, "aerender");
  uint32_t next = 300;
  for (int e = 0; e < 64; ++e) {
    const uint32_t engine = next++;
    l.add(engine, 200, 1000, 4096, "aerendercore\0-noui\0-aerenderpid\0200"sv);
    uint32_t parent = engine;
    for (int h = 0; h < 15; ++h) {
      l.add(next, parent, 1000, 4096, "helper");
      parent = next++;
    }
  }
  while (l.rows.size() < 4096) l.add(next++, 1, 1000, 4096, "unrelated\0process"sv);
  l.usable = true;
  return l;
}

void BM_client_process_tree(benchmark::State& state) {
  const auto rows = tree_rows();
  for (auto _ : state) {
    auto tree = vel::client_process_tree(rows, 200, 100);
    benchmark::DoNotOptimize(tree);
  }
}
BENCHMARK(BM_client_process_tree);

// One pass over the same entries reading what the walk reads of each: its
// pid, parent, user and last argument.
void BM_client_process_tree_baseline(benchmark::State& state) {
  const auto listing = tree_rows();
  for (auto _ : state) {
    uint64_t sum = 0;
    for (const vel::ProcessRow& r : listing.rows) {
      const std::string_view args = listing.args_of(r);
      sum += r.pid + r.ppid + r.uid + args.size() - args.rfind('\0');
    }
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_client_process_tree_baseline);

}  // namespace

BENCHMARK_MAIN();
