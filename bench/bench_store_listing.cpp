// The main thread's work when the disk store lists a long stream at its
// opening (100k, 600k and 1.08M frames): taking the listing into the record
// of the frames on disk and dropping it at the next switch, against building
// a plain hash set of the same keys (what the record once was); then the
// record's answers for a window of 4096 frames against the hash set's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "plugin/disk_keys.h"
#include "store/store_worker.h"

namespace {

using vel::FrameKey;

std::vector<FrameKey> listing(int64_t n) {
  std::vector<FrameKey> keys;
  keys.reserve(static_cast<size_t>(n));
  for (int64_t f = 0; f < n; ++f) keys.push_back(FrameKey{static_cast<int32_t>(f * 1001), 30000});
  vel::sort_listing(keys);
  return keys;
}

void take_listing(benchmark::State& state) {
  const std::vector<FrameKey> keys = listing(state.range(0));
  vel::DiskKeys record;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<FrameKey> reply = keys;  // made by the store thread
    state.ResumeTiming();
    record.take_listing(std::move(reply));
    benchmark::DoNotOptimize(record.size());
    record.clear();
  }
}

void take_listing_baseline(benchmark::State& state) {
  const std::vector<FrameKey> keys = listing(state.range(0));
  for (auto _ : state) {
    std::unordered_set<FrameKey, vel::FrameKeyHasher> set;
    set.insert(keys.begin(), keys.end());
    benchmark::DoNotOptimize(set.size());
  }
}

constexpr int64_t kWindow = 4096;

template <class Record>
void look_up_windows(benchmark::State& state, const Record& record) {
  int64_t from = 0;
  for (auto _ : state) {
    int64_t found = 0;
    for (int64_t f = from; f < from + kWindow; ++f) {
      found += record.contains(FrameKey{static_cast<int32_t>(f * 1001), 30000});
    }
    benchmark::DoNotOptimize(found);
    from = (from + 7919) % state.range(0);
  }
}

void window_lookups(benchmark::State& state) {
  vel::DiskKeys record;
  record.take_listing(listing(state.range(0)));
  look_up_windows(state, record);
}

void window_lookups_baseline(benchmark::State& state) {
  const std::vector<FrameKey> keys = listing(state.range(0));
  look_up_windows(state, std::unordered_set<FrameKey, vel::FrameKeyHasher>(keys.begin(), keys.end()));
}

}  // namespace

BENCHMARK(take_listing)->Arg(100000)->Arg(600000)->Arg(1080000)->Unit(benchmark::kMillisecond);
BENCHMARK(take_listing_baseline)->Arg(100000)->Arg(600000)->Arg(1080000)->Unit(benchmark::kMillisecond);
BENCHMARK(window_lookups)->Arg(100000)->Arg(1080000)->Unit(benchmark::kMicrosecond);
BENCHMARK(window_lookups_baseline)->Arg(100000)->Arg(1080000)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
