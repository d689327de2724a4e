// The pool's main-thread costs against their baselines in the same run: the
// background snapshot copy (8 KiB pieces and stamp checks) against a
// copy_file_range of the same file, the pool's share of an idle tick with
// the pool on and nothing to do against the same tick with the pool off, and
// the read-first reordering against std::stable_sort in the same order.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "plugin/pool_pump.h"
#include "plugin/preview_state.h"
#include "pool/runtime/pool_directory.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "pool/runtime/project_snapshot.h"
#include "pool/runtime/snapshot_adoption.h"

namespace {

namespace fs = std::filesystem;
constexpr uint64_t kProjectBytes = 64ull << 20;

struct ScratchProject {
  ScratchProject() {
    std::string pattern = "/tmp/vel-bench-snapshot-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return;
    dir = pattern;
    project = dir / "project.aep";
    pool = dir / "velocinta_pool";
    std::ofstream out(project, std::ios::binary);
    std::string chunk(1 << 20, 'a');
    for (uint64_t i = 0; i < kProjectBytes / chunk.size(); ++i) out << chunk;
  }
  ~ScratchProject() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
  fs::path dir, project, pool;
};

void BM_snapshot_copy(benchmark::State& state) {
  ScratchProject p;
  auto stamp = vel::file_modified_time(p.project);
  if (!stamp) return state.SkipWithError("no project");
  for (auto _ : state) {
    vel::SnapshotReply reply = vel::run_snapshot_copy({p.project, *stamp, p.pool, 0, {}});
    if (!std::holds_alternative<vel::SnapshotReady>(reply.result)) return state.SkipWithError("copy failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kProjectBytes));
}
BENCHMARK(BM_snapshot_copy)->Unit(benchmark::kMillisecond);

void BM_snapshot_copy_baseline(benchmark::State& state) {
  ScratchProject p;
  if (!vel::ensure_private_dir(p.pool)) return state.SkipWithError("no pool folder");
  fs::path target = p.pool / "baseline.aep";
  for (auto _ : state) {
    int src = ::open(p.project.c_str(), O_RDONLY);
    int dst = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    while (::copy_file_range(src, nullptr, dst, nullptr, 1 << 30, 0) > 0) {
    }
    ::close(src);
    ::close(dst);
    ::unlink(target.c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kProjectBytes));
}
BENCHMARK(BM_snapshot_copy_baseline)->Unit(benchmark::kMillisecond);

void idle_tick(benchmark::State& state, bool pool_on) {
  ScratchProject p;
  auto* s = new vel::PreviewState;
  s->pool.pool_enabled = pool_on;
  s->pool.templates_ready = 1;
  if (pool_on) {
    auto stamp = vel::file_modified_time(p.project);
    auto reply = vel::run_snapshot_copy({p.project, stamp.value_or(vel::FileStamp{}), p.pool, 0, {}});
    vel::adopt_project_snapshot(s->pool, std::move(std::get<vel::SnapshotReady>(reply.result)));
  }
  uint64_t now = 1'000'000'000;
  for (auto _ : state) {
    now += 16'000'000;
    vel::pool_idle_step(*s, now, false, {}, false);
    benchmark::DoNotOptimize(s->pool.ramp_window_ns);
  }
  vel::stop_pool(s->pool, now);
  delete s;
}
void BM_pool_idle_tick(benchmark::State& state) { idle_tick(state, true); }
void BM_pool_idle_tick_baseline(benchmark::State& state) { idle_tick(state, false); }
BENCHMARK(BM_pool_idle_tick);
BENCHMARK(BM_pool_idle_tick_baseline);

std::deque<vel::DiscoveredFile> shuffled_entries() {
  std::deque<vel::DiscoveredFile> q;
  std::mt19937 rng(7);
  for (int i = 0; i < 4096; ++i) q.push_back({"f_" + std::to_string(i) + ".tga", static_cast<int64_t>(rng() % 4096), false, 0.0});
  return q;
}

void BM_reorder_queued_ranges(benchmark::State& state) {
  const auto source = shuffled_entries();
  vel::PoolRuntime rt;
  rt.plan.emplace();
  int64_t playhead = 0;
  for (auto _ : state) {
    state.PauseTiming();
    rt.plan->pending_frames = source;
    playhead = playhead == 2048 ? 2047 : 2048;  // a new playhead each time
    state.ResumeTiming();
    vel::reorder_queued_ranges(rt, playhead);
    benchmark::DoNotOptimize(rt.plan->pending_frames.front().frame);
  }
}
BENCHMARK(BM_reorder_queued_ranges)->Unit(benchmark::kMicrosecond);

void BM_reorder_queued_ranges_baseline(benchmark::State& state) {
  const auto source = shuffled_entries();
  std::deque<vel::DiscoveredFile> q;
  int64_t playhead = 0;
  for (auto _ : state) {
    state.PauseTiming();
    q = source;
    playhead = playhead == 2048 ? 2047 : 2048;
    state.ResumeTiming();
    std::stable_sort(q.begin(), q.end(), [playhead](const auto& a, const auto& b) {
      bool aa = a.frame >= playhead, ba = b.frame >= playhead;
      return aa != ba ? aa : a.frame < b.frame;
    });
    benchmark::DoNotOptimize(q.front().frame);
  }
}
BENCHMARK(BM_reorder_queued_ranges_baseline)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
