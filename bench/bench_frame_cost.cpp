// The main thread's passes over the frames at each frame shown while
// playing, and at each frame cached while filling, against the frames
// cached: X_N with N frames cached beside X_N_baseline with 300, in one run.
// The passes follow the frames and keys that changed, not the whole cache,
// and the delivery queue builds only the entries read: playing_N and
// filling_N stay near their baselines.
//
// - playing_N: a composition of N frames, all cached, played on: at each
//   frame the playhead steps on, one frame comes back from its packed form
//   and another is packed, then the store's loads, the delivery queue and
//   the strip's columns run (tick_worlds.h, PlayingWorld).
// - filling_N: a composition of N frames filled from its first frame, one
//   frame cached a step, then the same passes; the cache is emptied and the
//   fill starts again once it holds them all (FillingWorld).
// - filling_from_store_N: the same fill with every frame on disk: the
//   window's frames (up to 4096) asked of the store at once, the store
//   answering one a step (StoreFillingWorld). The keys still awaited, from
//   thousands down, cost the tick nothing each.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "tick_worlds.h"

namespace {

constexpr int64_t kBaselineFrames = 300;

void playing(benchmark::State& state, int64_t frames) {
  vel::bench::PlayingWorld w(frames);
  for (auto _ : state) benchmark::DoNotOptimize(w.step());
  state.counters["cached"] = static_cast<double>(w.cache.index.size());
  state.counters["window_passes"] = static_cast<double>(w.feed.load_passes + w.ctl.delivery_window.passes);
}

void filling(benchmark::State& state, int64_t frames) {
  vel::bench::FillingWorld w(frames);
  for (auto _ : state) benchmark::DoNotOptimize(w.step());
  state.counters["window_passes"] = static_cast<double>(w.feed.load_passes + w.ctl.delivery_window.passes);
}

void filling_from_store(benchmark::State& state, int64_t frames) {
  vel::bench::StoreFillingWorld w(frames);
  for (auto _ : state) benchmark::DoNotOptimize(w.step());
  state.counters["awaited"] = static_cast<double>(w.ctl.store_pending.size());
  state.counters["window_passes"] = static_cast<double>(w.feed.load_passes + w.ctl.delivery_window.passes);
}

}  // namespace

int main(int argc, char** argv) {
  for (const int64_t n : {1200, 2400, 4000}) {
    const std::string play = "playing_" + std::to_string(n);
    const std::string fill = "filling_" + std::to_string(n);
    benchmark::RegisterBenchmark(play.c_str(), playing, n);
    benchmark::RegisterBenchmark((play + "_baseline").c_str(), playing, kBaselineFrames);
    benchmark::RegisterBenchmark(fill.c_str(), filling, n);
    benchmark::RegisterBenchmark((fill + "_baseline").c_str(), filling, kBaselineFrames);
    const std::string from_store = "filling_from_store_" + std::to_string(n);
    benchmark::RegisterBenchmark(from_store.c_str(), filling_from_store, n);
    benchmark::RegisterBenchmark((from_store + "_baseline").c_str(), filling_from_store, kBaselineFrames);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
