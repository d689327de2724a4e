// The pool's planning runs on every idle tick while the pool waits, so it
// must cost about what sorting its input costs.
//
// pool_plan_read_first: 4096 missing frames scattered over 6000 (holes of
// random length) planned into 8 ranges around a playhead in the middle.
// Baseline: a plain sort of a copy of the same, already sorted frames.
//
// pool_uncached_frames: the frame lists of a batch queue of 8192 frames over
// a cache holding 4096 of them. Baseline: the same walk over a bare hash set
// of the cached frame numbers.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <deque>
#include <random>
#include <unordered_set>
#include <vector>

#include "cache/frame_cache.h"
#include "cache/frame_cache_ops.h"
#include "pool/schedule/range_frames.h"
#include "pool/schedule/range_planning.h"

namespace {

constexpr size_t kMissing = 4096;
constexpr int64_t kSpan = 6000;
constexpr int64_t kPlayhead = kSpan / 2;

std::vector<int64_t> missing_frames() {
  std::mt19937_64 rng(7);
  std::vector<int64_t> all(kSpan);
  for (int64_t f = 0; f < kSpan; ++f) all[static_cast<size_t>(f)] = f;
  // Knock out runs of cached frames until kMissing remain missing.
  std::vector<bool> cached(kSpan, false);
  size_t missing = kSpan;
  while (missing > kMissing) {
    const auto at = static_cast<size_t>(rng() % kSpan);
    const size_t len = 1 + rng() % 12;
    for (size_t i = at; i < at + len && i < kSpan && missing > kMissing; ++i) {
      if (!cached[i]) {
        cached[i] = true;
        --missing;
      }
    }
  }
  std::vector<int64_t> frames;
  for (int64_t f = 0; f < kSpan; ++f) {
    if (!cached[static_cast<size_t>(f)]) frames.push_back(f);
  }
  return frames;
}

void pool_plan_read_first(benchmark::State& state) {
  const std::vector<int64_t> frames = missing_frames();
  for (auto _ : state) {
    vel::FramePlan plan = vel::plan_batches_read_first(frames, 8, kPlayhead, 4);
    benchmark::DoNotOptimize(plan.data());
  }
  state.counters["frames"] = static_cast<double>(frames.size());
}
BENCHMARK(pool_plan_read_first);

void pool_plan_read_first_baseline(benchmark::State& state) {
  const std::vector<int64_t> frames = missing_frames();
  for (auto _ : state) {
    std::vector<int64_t> sorted = frames;
    std::sort(sorted.begin(), sorted.end());
    benchmark::DoNotOptimize(sorted.data());
  }
}
BENCHMARK(pool_plan_read_first_baseline);

constexpr int32_t kCached = 4096;
constexpr uint32_t kSide = 4;

// Every other frame of 0 … 8191 is cached; the queue covers all of them.
std::deque<vel::QueuedRange> batch_queue() {
  std::deque<vel::QueuedRange> queue;
  for (int64_t start = 0; start < 2 * kCached; start += 512) queue.push_back({start, start + 511, false});
  return queue;
}

void pool_uncached_frames(benchmark::State& state) {
  vel::FrameCache cache;
  cache.budget_bytes = uint64_t{1} << 40;
  cache.frame_limit = kCached;
  for (int32_t f = 0; f < 2 * kCached; f += 2) {
    auto pixels = vel::PixelPayload::adopt(std::vector<uint8_t>(size_t{kSide} * kSide * 4, 1));
    vel::insert_frame(cache, vel::FrameKey{f, 24}, vel::RgbaFrame{std::move(pixels), f / 24.0, kSide, kSide});
  }
  const std::deque<vel::QueuedRange> queue = batch_queue();
  for (auto _ : state) {
    uint64_t budget = UINT64_MAX;
    auto lists = vel::build_uncached_batch_frames(queue, vel::BatchTimeBase{1, 24}, budget, vel::WidthRule{1, kSide},
                                                  cache);
    benchmark::DoNotOptimize(lists.data());
  }
  state.counters["cached"] = static_cast<double>(cache.index.size());
}
BENCHMARK(pool_uncached_frames);

void pool_uncached_frames_baseline(benchmark::State& state) {
  std::unordered_set<int64_t> cached;
  for (int64_t f = 0; f < 2 * kCached; f += 2) cached.insert(f);
  const std::deque<vel::QueuedRange> queue = batch_queue();
  for (auto _ : state) {
    std::vector<std::vector<int64_t>> lists;
    for (const vel::QueuedRange& r : queue) {
      std::vector<int64_t> frames;
      for (int64_t f = r.start; f <= r.end; ++f) {
        if (!cached.contains(f)) frames.push_back(f);
      }
      if (!frames.empty()) lists.push_back(std::move(frames));
    }
    benchmark::DoNotOptimize(lists.data());
  }
}
BENCHMARK(pool_uncached_frames_baseline);

}  // namespace

BENCHMARK_MAIN();
