// What a paused idle tick spends going through frames, on a ten-hour
// composition against the same on a ten-second one (the baselines), the
// playhead half way and the cache holding the frames from it on (4096 of the
// long one, all 300 of the short one), nothing changing between ticks: the
// cache strip's columns and picture, and the store's loads with the delivery
// queue. A long composition should cost what a short one does. The worlds
// are in tick_worlds.h, where a test checks them: the playhead's window is
// the cached part, so the queue is empty and no load is asked.
//
// strip_rebuild, after the strip's width changed, goes through the cache's
// 4096 keys for the strip's columns; its baseline is the bare walk of a hash
// map of 4096 keys.
#include <benchmark/benchmark.h>

#include <unordered_map>

#include "tick_worlds.h"

namespace {

using vel::bench::kStripWidth;
using vel::bench::PausedWorld;

void run_strip(benchmark::State& state, int64_t seconds) {
  PausedWorld p(seconds);
  for (auto _ : state) benchmark::DoNotOptimize(p.strip_tick());
  state.counters["passes"] = static_cast<double>(p.strip.passes);
}

void run_queue(benchmark::State& state, int64_t seconds) {
  PausedWorld p(seconds);
  size_t queued = 0;
  for (auto _ : state) queued = p.queue_tick();
  state.counters["passes"] = static_cast<double>(p.feed.load_passes + p.ctl.delivery_window.passes);
  state.counters["queued"] = static_cast<double>(queued);
}

void paused_strip(benchmark::State& state) { run_strip(state, 10 * 3600); }
void paused_strip_baseline(benchmark::State& state) { run_strip(state, 10); }
void paused_queue(benchmark::State& state) { run_queue(state, 10 * 3600); }
void paused_queue_baseline(benchmark::State& state) { run_queue(state, 10); }
BENCHMARK(paused_strip);
BENCHMARK(paused_strip_baseline);
BENCHMARK(paused_queue);
BENCHMARK(paused_queue_baseline);

void strip_rebuild(benchmark::State& state) {
  PausedWorld p(10 * 3600);
  uint32_t width = kStripWidth;
  for (auto _ : state) {
    width = width == kStripWidth ? kStripWidth - 1 : kStripWidth;
    benchmark::DoNotOptimize(vel::cached_strip_columns(p.strip, p.ctl, p.cache, width).size());
  }
  state.counters["passes"] = static_cast<double>(p.strip.passes);
}
BENCHMARK(strip_rebuild);

void strip_rebuild_baseline(benchmark::State& state) {
  std::unordered_map<vel::FrameKey, int, vel::FrameKeyHasher> map;
  for (int32_t f = 0; f < 4096; ++f) map.emplace(vel::FrameKey{540000 + f, 30}, f);
  for (auto _ : state) {
    int64_t sum = 0;
    for (const auto& [key, v] : map) sum += key.value;
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(strip_rebuild_baseline);

}  // namespace

BENCHMARK_MAIN();
