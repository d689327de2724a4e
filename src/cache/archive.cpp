#include "cache/archive.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "cache/eviction.h"
#include "cache/frame_cache_ops.h"
#include "cache/payload_accounting.h"
#include "core/machine.h"

namespace vel {

namespace {

// Drops an archived entry's payload and forgets it when nothing else holds it.
void drop_archived_entry(FrameCache& cache, CachedFrame entry) {
  uint64_t identity = entry.payload().identity();
  drop_cache_entry(cache, std::move(entry));
  try_reclaim_payload(cache, identity);
}

void forget_archive_count(FrameCache& cache) {
  cache.archive_stamp_ns.reset();
  cache.archive_bytes = 0;
}

int64_t abs_diff_sat(int64_t a, int64_t b) {
  __int128 d = static_cast<__int128>(a) - b;
  if (d < 0) d = -d;
  return d > std::numeric_limits<int64_t>::max() ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(d);
}

}  // namespace

void drop_cached_comp(FrameCache& cache, uint64_t comp_id) {
  std::deque<CachedComp> kept;
  std::deque<CachedComp> dropped;
  for (CachedComp& rec : cache.archive) (rec.comp_id == comp_id ? dropped : kept).push_back(std::move(rec));
  cache.archive = std::move(kept);
  dropped.clear();  // the payloads go before the settle, so it can forget them
  reclaim_all_released_payloads(cache);
  refresh_archive_bytes(cache);
}

uint64_t set_aside_comp_frames(FrameCache& cache, uint64_t comp_id) {
  drop_cached_comp(cache, comp_id);
  FrameIndex index = std::exchange(cache.index, FrameIndex{});
  for (const auto& [key, entry] : index) release_frame_payload(cache, entry);
  if (!index.empty()) {
    ++cache.generation;
    cache.key_changes.restart();
    CachedComp rec;
    rec.index = std::move(index);
    rec.comp_id = comp_id;
    rec.frames_by_time = std::exchange(cache.all_frames, TimeOrderedKeys{});
    rec.focus = cache.focus;
    cache.archive.push_back(std::move(rec));
  }
  clear_frame_cache(cache);
  while (cache.archive.size() > kMaxCachedComps) {
    cache.archive.pop_front();
    reclaim_all_released_payloads(cache);
    refresh_archive_bytes(cache);
  }
  enforce_cache_budget(cache);
  for (const CachedComp& rec : cache.archive) {
    if (rec.comp_id == comp_id) return rec.index.size();
  }
  return 0;
}

bool evict_from_archive(FrameCache& cache, uint64_t& allowance) {
  if (cache.archive.empty()) return false;
  const uint64_t used_before = cache.used_bytes;
  CachedComp& oldest = cache.archive.front();
  if (allowance == 0 || !cache.partial_archive_eviction || oldest.frames_by_time.empty()) {
    sat_inc(cache.archive_whole_fallbacks);
    CachedComp rec = std::move(oldest);
    cache.archive.pop_front();
    cache.archive_evicted_frames = sat_add(cache.archive_evicted_frames, rec.index.size());
    for (auto& [key, entry] : rec.index) drop_archived_entry(cache, std::move(entry));
  } else {
    const int64_t f = oldest.focus ? key_micros(*oldest.focus) : 0;
    const TimedKey earliest = *oldest.frames_by_time.begin();
    const TimedKey latest = *oldest.frames_by_time.rbegin();
    const TimedKey victim = abs_diff_sat(earliest.micros, f) > abs_diff_sat(latest.micros, f) ? earliest : latest;
    --allowance;
    oldest.frames_by_time.erase(victim);
    if (auto it = oldest.index.find(victim.key); it != oldest.index.end()) {
      CachedFrame entry = std::move(it->second);
      oldest.index.erase(it);
      sat_inc(cache.archive_evicted_frames);
      drop_archived_entry(cache, std::move(entry));
    }
    if (oldest.index.empty()) cache.archive.pop_front();
  }
  cache.archive_released_bytes = sat_add(cache.archive_released_bytes, sat_sub(used_before, cache.used_bytes));
  forget_archive_count(cache);
  return true;
}

void refresh_archive_bytes(FrameCache& cache) {
  cache.archive_stamp_ns = mono_ns();
  if (cache.payloads.empty()) {
    cache.archive_bytes = 0;
    return;
  }
  struct Held {
    uint64_t entries = 0;
    const PixelPayload* payload = nullptr;
  };
  std::unordered_map<uint64_t, Held, IntKeyHasher<kHashSeed64>> held;
  for (const CachedComp& rec : cache.archive) {
    for (const auto& [key, entry] : rec.index) {
      const PixelPayload& p = entry.payload();
      if (!p) continue;
      Held& h = held[p.identity()];
      ++h.entries;
      h.payload = &p;
    }
  }
  uint64_t sum = 0;
  for (const auto& [identity, h] : held) {
    auto it = cache.payloads.find(identity);
    if (it == cache.payloads.end() || it->second.claims != 0) continue;
    if (h.payload->strong_count() == h.entries) sum = sat_add(sum, it->second.bytes);
  }
  cache.archive_bytes = sum;
}

std::optional<uint64_t> restore_cached_comp(FrameCache& cache, uint64_t comp_id) {
  auto it = std::find_if(cache.archive.begin(), cache.archive.end(),
                         [&](const CachedComp& rec) { return rec.comp_id == comp_id; });
  if (it == cache.archive.end()) return std::nullopt;
  CachedComp rec = std::move(*it);
  cache.archive.erase(it);

  clear_frame_cache(cache);
  cache.index = std::move(rec.index);
  cache.all_frames = std::move(rec.frames_by_time);
  cache.focus = rec.focus;
  for (const auto& [key, entry] : cache.index) {
    claim_frame_payload(cache, entry);
    // Setting aside emptied the candidates: without this, raw frames that
    // come back would never be packed again.
    if (entry.is_raw()) cache.pack_candidates.insert(TimedKey::of(key));
  }
  // Without a focus, enforcement evicts the oldest inserted frames: give the
  // restored ones an order, or they could never be evicted.
  for (const TimedKey& t : cache.all_frames) {
    if (cache.index.contains(t.key)) cache.insertion_fifo.push_back(t.key);
  }
  ++cache.generation;
  cache.key_changes.restart();
  reclaim_all_released_payloads(cache);
  refresh_archive_bytes(cache);
  rebuild_store_queue(cache);
  enforce_cache_budget(cache);
  return cache.index.size();
}

}  // namespace vel
