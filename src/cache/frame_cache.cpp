#include "cache/frame_cache.h"

#include "cache/archive.h"
#include "cache/eviction.h"
#include "cache/frame_cache_ops.h"
#include "cache/payload_accounting.h"
#include "cache/unpack_queue.h"
#include "core/machine.h"
#include "core/switches.h"

namespace vel {

FrameCache::FrameCache() {
  // Until the first budget refresh: the budget at no memory pressure.
  if (auto physical = physical_memory_bytes()) budget_bytes = std::max<uint64_t>(*physical / 100 * 12, 1);
  partial_archive_eviction = partial_archive_eviction_enabled();
}

FrameCache::~FrameCache() {
  if (unpack_queue) stop_unpack_queue(*unpack_queue);
}

void set_playhead_focus(FrameCache& cache, FrameKey key) {
  cache.focus = key;
  if (cache.unpack_queue) focus_unpack_queue(*cache.unpack_queue, key, cache.work_range);
  reclaim_released_payloads(cache, kSettleBatch);
}

void queue_frame_for_store(FrameCache& cache, FrameKey key) {
  cache.store_write_queue.push_back(key);
  const uint64_t bound = sat_add(sat_add(cache.frame_limit, cache.frame_limit), 64);
  while (cache.store_write_queue.size() > bound) cache.store_write_queue.pop_front();
}

void rebuild_store_queue(FrameCache& cache) {
  cache.store_write_queue.clear();
  for (const TimedKey& t : cache.all_frames) cache.store_write_queue.push_back(t.key);
}

void clear_frame_cache(FrameCache& cache) {
  cache.neighbour_memo.reset();
  if (!cache.index.empty()) {
    ++cache.generation;
    cache.key_changes.restart();
  }
  if (cache.unpack_queue) cancel_all_unpack_jobs(*cache.unpack_queue);
  FrameIndex index = std::exchange(cache.index, FrameIndex{});
  for (auto& [key, entry] : index) {
    release_frame_payload(cache, entry);
    drop_cache_entry(cache, std::move(entry));
  }
  index.clear();
  reclaim_all_released_payloads(cache);
  cache.work_range = MicrosRange{};
  cache.insertion_fifo.clear();
  cache.all_frames.clear();
  cache.pack_candidates.clear();
  cache.deferred_pack_candidates.clear();
  cache.store_write_queue.clear();
  cache.last_payload.reset();
  refresh_archive_bytes(cache);
}

void reset_cache_state(FrameCache& cache) {
  cache.archive.clear();
  cache.archive_bytes = 0;
  cache.archive_stamp_ns.reset();
  reclaim_all_released_payloads(cache);
}

}  // namespace vel
