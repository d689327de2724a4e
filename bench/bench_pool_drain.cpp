// The supervision calls that take 8 ready 1080p deliveries from the batch's
// frame channel, and their insertion into a RAM cache holding 4096 frames.
// The baseline inserts the same 8 frames into the same cache without the
// supervision. The channel is refilled (and the ledger renewed, as a batch
// would be) outside the timed part.
#include <benchmark/benchmark.h>

#include <vector>

#include "cache/frame_cache_ops.h"
#include "core/machine.h"
#include "pool/batch/batch_supervision.h"

namespace {

constexpr int32_t kCached = 4096;
constexpr uint32_t kSmall = 32;
constexpr uint32_t kWidth = 1920, kHeight = 1080;
constexpr int kPerCall = 8;

vel::PixelPayload pixels(uint32_t w, uint32_t h, uint8_t fill) {
  return vel::PixelPayload::adopt(std::vector<uint8_t>(size_t{w} * h * 4, fill));
}

void fill_cache(vel::FrameCache& cache) {
  cache.budget_bytes = uint64_t{1} << 40;
  cache.frame_limit = kCached;
  const vel::PixelPayload small = pixels(kSmall, kSmall, 1);
  for (int32_t f = 0; f < kCached; ++f) {
    vel::insert_frame(cache, vel::FrameKey{f, 24}, vel::RgbaFrame{small, f / 24.0, kSmall, kSmall});
  }
}

// Eight distinct 1080p frames, made once: a delivery shares them.
const std::vector<vel::PixelPayload>& ready_pixels() {
  static const std::vector<vel::PixelPayload> made = [] {
    std::vector<vel::PixelPayload> v;
    for (int i = 0; i < kPerCall; ++i) v.push_back(pixels(kWidth, kHeight, static_cast<uint8_t>(i)));
    return v;
  }();
  return made;
}

vel::RgbaFrame ready_frame(int i, int32_t frame) {
  return vel::RgbaFrame{ready_pixels()[static_cast<size_t>(i)], frame / 24.0, kWidth, kHeight};
}

// A runtime whose batch has nothing to launch, examine or close: each call
// only takes what is on the frame channel.
void ready_runtime(vel::PoolRuntime& rt, vel::FrameReceiver rx) {
  rt.pool_enabled = true;
  vel::PoolPlan& plan = rt.plan.emplace();
  plan.frames = std::move(rx);
  plan.started_at = vel::mono_ns();
  plan.silent_limit_secs = 240;
  plan.time_scale = 24;
  plan.frame_step = 1;
  plan.expected_frames = 1u << 30;
  plan.shared_counter = std::make_shared<std::atomic<uint64_t>>(1);
  // Only a frame of its worker's range is taken: one finished worker whose
  // range holds every frame the benchmark sends.
  vel::PoolJob& job = plan.jobs.emplace_back();
  job.worker_index = 0;
  job.first_frame = 0;
  job.last_frame = int64_t{1} << 40;
  job.finished = true;
  job.clean_exit = true;
  job.supervised = true;
}

void supervise_drain(benchmark::State& state) {
  vel::FrameCache cache;
  fill_cache(cache);
  auto [tx, rx] = vel::make_bounded_channel<vel::PoolFrameDelivery>(kPerCall);
  vel::PoolRuntime rt = vel::new_pool_runtime(vel::kOutputPsd);
  ready_runtime(rt, std::move(rx));
  vel::SupervisionWorld world;
  world.clock = vel::mono_ns;
  world.available_memory = [] { return std::optional<uint64_t>(uint64_t{16} << 30); };
  int32_t next = kCached;
  for (auto _ : state) {
    state.PauseTiming();
    if (rt.plan->ledger.tries.size() > 4096) rt.plan->ledger = vel::DeliveryLedger{};
    for (int i = 0; i < kPerCall; ++i) {
      vel::PoolFrameDelivery d;
      d.frame = next + i;
      d.worker = 0;
      d.pixels = ready_frame(i, next + i);
      tx.try_send(std::move(d));
    }
    state.ResumeTiming();
    // The window looks at the bytes taken before each message, so the one
    // that crosses 32 MiB is still taken: five 1080p frames (41.5 MB) in the
    // first call, the other three in the next, as on the next tick.
    int taken = 0;
    for (int calls = 0; taken < kPerCall && calls < 64; ++calls) {
      for (vel::IngestedFrame& f : vel::supervise_batches(rt, 1, world)) {
        vel::insert_frame(cache, f.key, std::move(f.pixels));
        ++taken;
      }
    }
    // A frame the supervision refused would otherwise make this loop endless.
    if (taken < kPerCall) {
      state.SkipWithError("the supervision did not take every frame sent");
      break;
    }
    next += kPerCall;
  }
  state.counters["cached"] = static_cast<double>(cache.index.size());
}
BENCHMARK(supervise_drain);

void supervise_drain_baseline(benchmark::State& state) {
  vel::FrameCache cache;
  fill_cache(cache);
  int32_t next = kCached;
  std::vector<vel::RgbaFrame> ready;
  for (auto _ : state) {
    state.PauseTiming();
    ready.clear();
    for (int i = 0; i < kPerCall; ++i) ready.push_back(ready_frame(i, next + i));
    state.ResumeTiming();
    for (int i = 0; i < kPerCall; ++i) {
      vel::insert_frame(cache, vel::FrameKey{next + i, 24}, std::move(ready[static_cast<size_t>(i)]));
    }
    next += kPerCall;
  }
  state.counters["cached"] = static_cast<double>(cache.index.size());
}
BENCHMARK(supervise_drain_baseline);

}  // namespace

BENCHMARK_MAIN();
