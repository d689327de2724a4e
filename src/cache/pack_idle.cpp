#include "cache/pack_idle.h"

#include <algorithm>
#include <cmath>

#include "cache/eviction.h"
#include "cache/pack_worker.h"
#include "cache/payload_accounting.h"
#include "core/switches.h"

namespace vel {

namespace {
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint32_t kDeferredRetryPeriod = 64;

int64_t tolerance_micros(double seconds) {
  if (std::isnan(seconds) || seconds < 0) return 0;
  return saturating_i64(seconds * 1e6);
}
}  // namespace

double pack_min_distance_seconds(int64_t value, uint32_t scale) {
  return static_cast<double>(value) * kPackMinFrameDurations / static_cast<double>(scale == 0 ? 1 : scale);
}

uint64_t pack_max_frame_bytes(uint64_t budget) {
  const uint64_t c = std::clamp<uint64_t>(budget, 16 * kMiB, 128 * kMiB);
  return (c * 50 / 100) / 2;
}

void install_pack_result(FrameCache& cache, PackResult result, int64_t tol) {
  auto it = cache.index.find(result.key);
  if (it == cache.index.end() || !it->second.is_raw() || !same_payload(it->second.raw()->pixels, result.pixels)) return;
  const FrameKey key = result.key;
  const bool far = cache.focus && focus_distance(cache, key) > tol;
  if (!far) {
    cache.pack_candidates.insert(TimedKey::of(key));
    return;
  }
  const RgbaFrame& raw = *it->second.raw();
  if (result.packed.empty() || result.packed.size() >= raw.pixels.size()) return;  // stays raw, not retried
  PackedFrame packed{raw.width, raw.height, raw.time, PixelPayload::adopt(std::move(result.packed))};
  // The worker's reference goes first so that the raw buffer can return to
  // the pool when the cache was its only other holder.
  result.pixels.reset();
  std::optional<CachedFrame> old = replace_cache_entry(cache, key, CachedFrame(std::move(packed)));
  if (old) drop_cache_entry(cache, std::move(*old));
}

void pack_idle_frames(FrameCache& cache, double d) {
  pack_idle_frames(cache, d, frame_packing_enabled(), BackgroundWorkerRegistry::process());
}

void pack_idle_frames(FrameCache& cache, double d, bool packing_switch, BackgroundWorkerRegistry& registry) {
  if (cache.packing_disabled || !packing_switch) return;
  const int64_t tol = tolerance_micros(d);
  if (!cache.pack_link) cache.pack_link = start_pack_worker(registry);
  // Without a worker nothing is selected: a frame taken out of the
  // candidates now would never be packed once a worker starts.
  if (!cache.pack_link) return;
  if (std::optional<PackResult> r = receive_pack_result(*cache.pack_link)) install_pack_result(cache, std::move(*r), tol);
  if (cache.pack_link->job_in_flight || !cache.focus) return;

  ++cache.packer_calls;
  if (!cache.deferred_pack_candidates.empty() &&
      (cache.packer_calls % kDeferredRetryPeriod == 0 || cache.pack_candidates.empty())) {
    cache.pack_candidates.insert(cache.deferred_pack_candidates.begin(), cache.deferred_pack_candidates.end());
    cache.deferred_pack_candidates.clear();
  }

  const uint64_t max_bytes = pack_max_frame_bytes(cache.budget_bytes);
  std::optional<FrameKey> chosen;
  for (uint32_t i = 0; i < kPackExaminedPerTick && !chosen; ++i) {
    std::optional<TimedKey> cand = farthest_from_focus(cache, cache.pack_candidates);
    if (!cand) return;
    if (cand->key == *cache.focus || focus_distance(cache, cand->key) <= tol) return;
    cache.pack_candidates.erase(*cand);
    auto it = cache.index.find(cand->key);
    if (it == cache.index.end() || !it->second.is_raw()) continue;
    if (it->second.raw()->pixels.size() > max_bytes) continue;  // too big to be worth it; stays out
    if (held_by_cache_alone(cache, it->second.raw()->pixels)) {
      chosen = cand->key;
    } else {
      // Shared with the panel or a job: copying it would cost more than it saves.
      cache.deferred_pack_candidates.push_back(*cand);
    }
  }
  if (!chosen) return;
  const RgbaFrame& raw = *cache.index.find(*chosen)->second.raw();
  send_pack_job(*cache.pack_link, *chosen, raw);
}

}  // namespace vel
