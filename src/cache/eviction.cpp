#include "cache/eviction.h"

#include <limits>
#include <utility>

#include "cache/archive.h"
#include "cache/focus_distance.h"
#include "cache/frame_cache_ops.h"
#include "cache/payload_accounting.h"

namespace vel {

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
  return cache.focus ? distance_from_focus(*cache.focus, cache.work_range, key) : 0;
}

std::optional<TimedKey> farthest_from_focus(const FrameCache& cache, const TimeOrderedKeys& set) {
  if (!cache.focus) return std::nullopt;
  return farthest_key_from(*cache.focus, cache.work_range, set);
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
