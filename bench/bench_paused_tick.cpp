// What a paused idle tick spends going through frames, on a ten-hour
// composition against the same on a ten-second one (the baselines), the
// cache holding the frames from the playhead on (4096 of the long one, all
// 300 of the short one) and nothing changing between ticks: the cache
// strip's columns and picture, and the store's loads with the delivery
// queue. A long composition should cost what a short one does.
//
// strip_rebuild, after the cache changed, goes through the cache's 4096 keys
// for the strip's columns; its baseline is the bare walk of a hash map of
// 4096 keys.
#include <benchmark/benchmark.h>

#include <unordered_map>
#include <vector>

#include "cache/frame_cache_ops.h"
#include "panel/cache_strip.h"
#include "plugin/store_feed.h"
#include "plugin/strip_columns.h"
#include "preview/delivery_queue.h"

namespace {

constexpr uint32_t kStripWidth = 1920;  // a 960-point panel at 2×

struct Paused {
  vel::PreviewController ctl = vel::make_preview_controller(1, 0);
  vel::FrameCache cache;
  vel::StoreFeed feed;
  vel::StripColumnsMemo strip;
  vel::StripPicture last;
  vel::PreviewTickInputs in;
  vel::PoolView pool;

  explicit Paused(int64_t seconds) {
    const int64_t frames = seconds * 30;
    ctl.timing = vel::CompFrameTiming{1, 30, static_cast<int32_t>(frames), 30};
    ctl.frame_count = frames;
    ctl.current_frame = frames / 2;
    cache.budget_bytes = uint64_t{1} << 32;
    const int64_t cached = std::min<int64_t>(frames, 4096);
    for (int64_t i = 0; i < cached; ++i) {
      const int64_t f = (ctl.current_frame + i) % frames;
      std::vector<uint8_t> px(16 * 9 * 4, static_cast<uint8_t>(f));
      vel::insert_frame(cache, vel::FrameKey{static_cast<int32_t>(f), 30},
                        vel::RgbaFrame{vel::PixelPayload::adopt(std::move(px)), f / 30.0, 16, 9});
    }
    feed.handle = vel::spawn_store_worker(std::nullopt);
    feed.stream = vel::StoreStreamIdentity{1, "Main", "/nonexistent/p.aep"};
  }

  // The strip as the panel's refresh builds it, compared with the last one.
  bool strip_tick() {
    vel::StripPicture pic;
    pic.width_px = kStripWidth;
    pic.height_px = 24;
    pic.frame_count = ctl.frame_count;
    pic.lit = vel::cached_strip_columns(strip, ctl, cache, kStripWidth, false);
    pic.work_first = 0;
    pic.work_last = ctl.frame_count - 1;
    pic.shown_column = vel::strip_shown_column(ctl.current_frame, ctl.frame_count, kStripWidth);
    if (pic == last) return false;
    last = std::move(pic);
    return true;
  }

  size_t queue_tick() {
    vel::request_store_loads(feed, ctl, cache);
    return vel::build_delivery_queue(ctl, cache, 16, in, pool, ctl.delivery_window).frames.size();
  }
};

void run_strip(benchmark::State& state, int64_t seconds) {
  Paused p(seconds);
  for (auto _ : state) benchmark::DoNotOptimize(p.strip_tick());
  state.counters["passes"] = static_cast<double>(p.strip.passes);
}

void run_queue(benchmark::State& state, int64_t seconds) {
  Paused p(seconds);
  for (auto _ : state) benchmark::DoNotOptimize(p.queue_tick());
  state.counters["passes"] = static_cast<double>(p.feed.load_passes + p.ctl.delivery_window.passes);
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
  Paused p(10 * 3600);
  for (auto _ : state) benchmark::DoNotOptimize(vel::cached_strip_columns(p.strip, p.ctl, p.cache, kStripWidth, true));
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
