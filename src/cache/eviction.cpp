#include "cache/eviction.h"

#include <limits>
#include <utility>

#include "cache/archive.h"
#include "cache/frame_cache_ops.h"
#include "cache/payload_accounting.h"

namespace vel {

namespace {

int64_t sat_abs_diff(int64_t a, int64_t b) {
  __int128 d = static_cast<__int128>(a) - b;
  if (d < 0) d = -d;
  return d > std::numeric_limits<int64_t>::max() ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(d);
}

bool in_range(const MicrosRange& r, int64_t t) { return t >= r.start && t < r.end; }

}  // namespace

void evict_frame(FrameCache& cache, FrameKey key) {
  cache.neighbour_memo.reset();
  if (cache.unpack_queue) cancel_unpack_key(*cache.unpack_queue, key);
  std::optional<CachedFrame> removed;
  if (auto it = cache.index.find(key); it != cache.index.end()) {
    removed = std::move(it->second);
    cache.index.erase(it);
    release_frame_payload(cache, *removed);
    ++cache.generation;
    cache.key_changes.note(key, KeyChange::Went);
  }
  TimedKey timed = TimedKey::of(key);
  cache.all_frames.erase(timed);
  cache.pack_candidates.erase(timed);
  if (removed) drop_cache_entry(cache, std::move(*removed));
  reclaim_released_payloads(cache, kSettleBatch);
}

int64_t focus_distance(const FrameCache& cache, FrameKey key) {
  if (!cache.focus) return 0;
  int64_t t = key_micros(key);
  int64_t f = key_micros(*cache.focus);
  const MicrosRange& r = cache.work_range;
  if (!r.valid || r.end <= r.start || !in_range(r, f)) return sat_abs_diff(t, f);
  if (in_range(r, t)) {
    // A work range may span more than half the i64 line (its ends saturate):
    // the span and the difference are taken in 128 bits.
    const __int128 span = static_cast<__int128>(r.end) - r.start;
    __int128 m = (static_cast<__int128>(t) - f) % span;
    if (m < 0) m += span;
    return m > std::numeric_limits<int64_t>::max() ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(m);
  }
  __int128 far = static_cast<__int128>(sat_abs_diff(t, f)) + ((int64_t{1} << 62) - 1);
  return far > std::numeric_limits<int64_t>::max() ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(far);
}

std::optional<TimedKey> farthest_from_focus(const FrameCache& cache, const TimeOrderedKeys& set) {
  if (!cache.focus || set.empty()) return std::nullopt;
  const FrameKey focus = *cache.focus;
  TimedKey candidates[3];
  int n = 0;
  candidates[n++] = *set.begin();
  candidates[n++] = *set.rbegin();
  auto below = set.lower_bound(TimedKey{key_micros(focus), FrameKey{std::numeric_limits<int32_t>::min(), 0}});
  if (below != set.begin()) candidates[n++] = *std::prev(below);

  std::optional<TimedKey> best;
  int64_t best_distance = 0;
  for (int i = 0; i < n; ++i) {
    if (candidates[i].key == focus) continue;
    int64_t d = focus_distance(cache, candidates[i].key);
    if (!best || d >= best_distance) {  // on a tie the later candidate wins
      best = candidates[i];
      best_distance = d;
    }
  }
  return best;
}

std::optional<FrameKey> oldest_inserted_key(FrameCache& cache) {
  if (cache.index.empty()) {
    cache.insertion_fifo.clear();
    return std::nullopt;
  }
  while (!cache.insertion_fifo.empty()) {
    FrameKey k = cache.insertion_fifo.front();
    if (cache.index.contains(k)) return k;
    cache.insertion_fifo.pop_front();
  }
  return std::nullopt;
}

bool cache_would_keep(const FrameCache& cache, FrameKey key) {
  if (cache.focus == key) return true;
  if (cache.index.size() < cache.frame_limit && cache.used_bytes < cache_byte_limit(cache)) return true;
  if (!cache.focus) return true;  // the oldest inserted frame goes first, never the newest
  const std::optional<TimedKey> far = farthest_from_focus(cache, cache.all_frames);
  return far && far->key != key && focus_distance(cache, key) < focus_distance(cache, far->key);
}

void enforce_cache_budget(FrameCache& cache) {
  reclaim_released_payloads(cache, kSettleBatch);
  uint64_t allowance = kArchiveEvictionAllowance;
  while (cache.index.size() > cache.frame_limit || cache.used_bytes > cache_byte_limit(cache)) {
    if (cache.used_bytes > cache_byte_limit(cache) && evict_from_archive(cache, allowance)) continue;
    if (!cache.focus) {
      std::optional<FrameKey> oldest = oldest_inserted_key(cache);
      if (!oldest) break;
      evict_frame(cache, *oldest);
      continue;
    }
    if (std::optional<TimedKey> far = farthest_from_focus(cache, cache.all_frames)) {
      evict_frame(cache, far->key);
      continue;
    }
    std::optional<FrameKey> oldest = oldest_inserted_key(cache);
    if (!oldest || *oldest == *cache.focus) break;
    evict_frame(cache, *oldest);
  }
}

}  // namespace vel
