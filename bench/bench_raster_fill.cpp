// The parallel raster fill over 48 frames of the demo's raster composition
// (640x360, three animated solids, screen and multiply), drained as the idle
// hook drains it. Figures to quote, all in real time:
// - raster_fill/N against raster_fill_baseline/N (the same fill on one
//   thread): the speed-up of N threads;
// - frame_memset/N against frame_memset_baseline/N: how far the machine's
//   memory lets N threads writing frames go, the ceiling of the above;
// - raster_fill_overhead against raster_fill_overhead_baseline, a bare loop
//   of render_prepared_frame on a thread started for it and joined: what the
//   fill's registry, channel, wake-ups and reuse checks cost over drawing the
//   same frames off the caller's thread at all.
// The consumer sleeps until a raster thread asks for an early idle call, as
// the host's idle hook does, rather than polling beside the thread it times.
// Unless told otherwise, every figure is repeated five times, the repetitions
// of all figures interleaved in random order, so that a change of machine
// load between two figures weighs on a figure and its baseline alike: compare
// medians.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/process_flags.h"

#include "raster/raster_fill.h"

namespace {

constexpr int32_t kFrames = 48;
constexpr uint32_t kW = 640, kH = 360;

vel::LayerModel solid(uint32_t index, vel::Rgb color, uint32_t w, uint32_t h, const char* blend) {
  vel::LayerModel l;
  l.index = index;
  l.name = "L";
  l.kind = vel::LayerKind::Av;
  l.source = vel::SolidSource{color, w, h};
  l.in_point = 0;
  l.out_point = 2;
  l.enabled = true;
  l.blend_mode = blend;
  l.transform.anchor = vel::AnimatedVec2::constant({w / 2.0, h / 2.0});
  l.transform.position = vel::AnimatedVec2::constant({kW / 2.0, kH / 2.0});
  l.transform.scale = vel::AnimatedVec2::constant({100, 100});
  l.transform.rotation = vel::AnimatedScalar::constant(0);
  l.transform.opacity = vel::AnimatedScalar::constant(100);
  return l;
}

std::shared_ptr<const vel::CompModel> demo_comp() {
  using vel::Interpolation;
  vel::LayerModel glow = solid(1, {0.2, 0.8, 0.4}, 160, 90, "screen");
  glow.transform.scale = vel::AnimatedVec2::keyed(
      {{0, {40, 40}, Interpolation::Linear}, {47.0 / 24, {260, 180}, Interpolation::Linear}});
  glow.transform.rotation =
      vel::AnimatedScalar::keyed({{0, 0, Interpolation::Linear}, {47.0 / 24, 180, Interpolation::Linear}});
  glow.transform.opacity = vel::AnimatedScalar::constant(75);
  vel::LayerModel shade = solid(2, {0.9, 0.5, 0.1}, 300, 150, "multiply");
  shade.transform.anchor = vel::AnimatedVec2::constant({0, 0});
  shade.transform.position = vel::AnimatedVec2::constant({60, 40});
  shade.transform.opacity =
      vel::AnimatedScalar::keyed({{0, 100, Interpolation::Linear}, {47.0 / 24, 30, Interpolation::Linear}});
  vel::LayerModel back = solid(3, {0.1, 0.2, 0.7}, kW, kH, "normal");
  back.transform.opacity = vel::AnimatedScalar::constant(90);
  auto comp = std::make_shared<vel::CompModel>();
  comp->name = "Raster";
  comp->width = kW;
  comp->height = kH;
  comp->frame_rate = 24;
  comp->duration = 2;
  comp->layers = {glow, shade, back};
  return comp;
}

std::vector<vel::FrameKey> work_area() {
  std::vector<vel::FrameKey> frames;
  for (int32_t i = 0; i < kFrames; ++i) frames.push_back({i, 24});
  return frames;
}

// The host's early idle call, as the raster threads make it after each
// result: it wakes the consumer.
struct IdleCalls {
  std::mutex mutex;
  std::condition_variable called;
  uint64_t count = 0;
};
IdleCalls& idle_calls() {
  static IdleCalls calls;
  return calls;
}
void call_idle_early() {
  IdleCalls& c = idle_calls();
  {
    std::lock_guard lock(c.mutex);
    ++c.count;
  }
  c.called.notify_one();
}

// One whole fill with `threads` threads, drained as the idle hook drains it
// (at most 8 a call) until its channel closes.
void fill_once(vel::BackgroundWorkerRegistry& registry, const std::shared_ptr<const vel::CompModel>& comp,
               uint32_t threads, benchmark::State& state) {
  vel::set_early_idle_caller(call_idle_early);
  vel::RasterJobSlot slot;
  vel::RasterFillEnv env{&registry, vel::RasterMachine{64, 64ull << 30, 100}, threads};
  if (vel::run_raster_fill(slot, comp, work_area(), 1, env) != threads) {
    state.SkipWithError("threads did not start");
    return;
  }
  IdleCalls& calls = idle_calls();
  uint64_t seen = 0;
  size_t taken = 0;
  while (slot.running()) {
    auto got = vel::drain_result_channel(slot, vel::kRasterChannelCapacity * 4,
                                         [](const vel::RasterFrameResult& r) { return uint64_t{r.pixels.size()}; });
    taken += got.size();
    if (!got.empty()) continue;
    if (taken >= kFrames) {
      // Every frame is in: only the threads' ending is left, which makes no
      // idle call of its own.
      std::this_thread::yield();
      continue;
    }
    std::unique_lock lock(calls.mutex);
    calls.called.wait_for(lock, std::chrono::milliseconds(50), [&] { return calls.count != seen; });
    seen = calls.count;
  }
  if (taken != kFrames) state.SkipWithError("frames missing");
}

void run_fill(benchmark::State& state, uint32_t threads) {
  vel::BackgroundWorkerRegistry registry(64);
  const auto comp = demo_comp();
  for (auto _ : state) fill_once(registry, comp, threads, state);
  state.SetItemsProcessed(state.iterations() * kFrames);
}

void raster_fill(benchmark::State& state) { run_fill(state, static_cast<uint32_t>(state.range(0))); }
void raster_fill_baseline(benchmark::State& state) { run_fill(state, 1); }

void write_frames(int32_t first, int32_t count, std::vector<std::vector<uint8_t>>& frames) {
  for (int32_t i = first; i < first + count; ++i) {
    std::memset(frames[i].data(), i & 0xff, frames[i].size());
    benchmark::DoNotOptimize(frames[i].data());
  }
}

void run_memset(benchmark::State& state, int threads) {
  std::vector<std::vector<uint8_t>> frames(kFrames, std::vector<uint8_t>(size_t{kW} * kH * 4));
  for (auto _ : state) {
    std::vector<std::thread> pool;
    const int32_t per = kFrames / threads;
    for (int t = 1; t < threads; ++t) pool.emplace_back(write_frames, t * per, per, std::ref(frames));
    write_frames(0, kFrames - per * (threads - 1), frames);
    for (auto& t : pool) t.join();
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
}

void frame_memset(benchmark::State& state) { run_memset(state, static_cast<int>(state.range(0))); }
void frame_memset_baseline(benchmark::State& state) { run_memset(state, 1); }

void raster_fill_overhead(benchmark::State& state) { run_fill(state, 1); }

void raster_fill_overhead_baseline(benchmark::State& state) {
  auto prepared = vel::prepare_raster_scene(*demo_comp());
  if (!prepared) {
    state.SkipWithError("scene refused");
    return;
  }
  auto scene = std::make_shared<const vel::PreparedScene>(std::move(prepared).value());
  const auto frames = work_area();
  for (auto _ : state) {
    // Off the caller's thread, as the fill must draw: a thread of its own is
    // started and joined for every fill, so that both figures pay what the
    // system charges for a fresh thread (on a busy machine a new thread can
    // wait a whole time slice before it first runs, and the caller a slice
    // more to be woken at the end), and the ratio is what the fill adds.
    std::thread drawer([&] {
      for (const vel::FrameKey k : frames) {
        auto frame = vel::render_prepared_frame(vel::evaluate_prepared_frame(scene, k.value / 24.0), 1, true);
        benchmark::DoNotOptimize(frame);
      }
    });
    drawer.join();
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
}

}  // namespace

BENCHMARK(raster_fill)->Arg(2)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(raster_fill_baseline)->Arg(2)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(frame_memset)->Arg(2)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(frame_memset_baseline)->Arg(2)->Arg(4)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(raster_fill_overhead)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(raster_fill_overhead_baseline)->UseRealTime()->Unit(benchmark::kMillisecond);
int main(int argc, char** argv) {
  // Defaults first, so that the command line overrides them.
  std::vector<char*> args(argv, argv + argc);
  static char repetitions[] = "--benchmark_repetitions=5";
  static char interleaving[] = "--benchmark_enable_random_interleaving=true";
  static char aggregates[] = "--benchmark_display_aggregates_only=true";
  args.insert(args.begin() + (argc > 0 ? 1 : 0), {repetitions, interleaving, aggregates});
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
