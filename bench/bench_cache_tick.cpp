// One idle tick's cache work with 4096 frames cached: a produced frame is
// inserted (evicting the farthest one at the frame limit), the playhead
// moves, and the neighbour list around it is rebuilt. The baseline does the
// bare equivalent on a hash map: one insert, one erase and the same lookups.
// Both make the produced frame's payload inside the loop, as a producer
// would hand over a fresh one every tick.
#include <benchmark/benchmark.h>

#include <unordered_map>
#include <vector>

#include "cache/frame_cache_ops.h"

namespace {

constexpr int32_t kCached = 4096;
constexpr uint32_t kSide = 32;  // 4 KiB frames
constexpr int64_t kAhead = 12;

vel::PixelPayload produced(int32_t i) {
  return vel::PixelPayload::adopt(std::vector<uint8_t>(size_t{kSide} * kSide * 4, static_cast<uint8_t>(i)));
}

void cache_tick(benchmark::State& state) {
  vel::FrameCache cache;
  cache.budget_bytes = uint64_t{1} << 40;
  cache.frame_limit = kCached;
  for (int32_t f = 0; f < kCached; ++f) {
    vel::insert_frame(cache, vel::FrameKey{f, 24}, vel::RgbaFrame{produced(f), f / 24.0, kSide, kSide});
  }
  int32_t next = kCached;
  for (auto _ : state) {
    const vel::FrameKey key{next, 24};
    cache.work_range = vel::frame_range_micros(1, 24, next - kCached + 1, next);
    vel::set_playhead_focus(cache, key);
    vel::insert_frame(cache, key, vel::RgbaFrame{produced(next), next / 24.0, kSide, kSide});
    vel::NeighbourList list = vel::neighbour_frames(cache, next, 1, 24, next - kCached + 1, next, kAhead);
    benchmark::DoNotOptimize(list->size());
    ++next;
  }
  state.counters["cached"] = static_cast<double>(cache.index.size());
}
BENCHMARK(cache_tick);

void cache_tick_baseline(benchmark::State& state) {
  std::unordered_map<vel::FrameKey, vel::PixelPayload, vel::FrameKeyHasher> map;
  for (int32_t f = 0; f < kCached; ++f) map.emplace(vel::FrameKey{f, 24}, produced(f));
  int32_t next = kCached;
  std::vector<vel::PixelPayload> found;
  found.reserve(kAhead + 13);
  for (auto _ : state) {
    map.emplace(vel::FrameKey{next, 24}, produced(next));
    map.erase(vel::FrameKey{next - kCached, 24});
    found.clear();
    for (int32_t f = next - 12; f <= next + kAhead; ++f) {
      auto it = map.find(vel::FrameKey{f, 24});
      if (it != map.end()) found.push_back(it->second);
    }
    benchmark::DoNotOptimize(found.size());
    ++next;
  }
}
BENCHMARK(cache_tick_baseline);

}  // namespace

BENCHMARK_MAIN();
