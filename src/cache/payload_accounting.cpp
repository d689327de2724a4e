#include "cache/payload_accounting.h"

#include <algorithm>
#include <utility>

#include "cache/buffer_pool.h"

namespace vel {

void claim_frame_payload(FrameCache& cache, const CachedFrame& entry) {
  const PixelPayload& payload = entry.payload();
  if (!payload) return;
  auto [it, inserted] = cache.payloads.try_emplace(payload.identity());
  PayloadRecord& record = it->second;
  if (inserted) {
    record.holder = payload.downgrade();
    record.bytes = payload.capacity();
    cache.used_bytes = sat_add(cache.used_bytes, record.bytes);
  }
  if (record.claims == 0) cache.claimed_bytes = sat_add(cache.claimed_bytes, record.bytes);
  sat_inc(record.claims);
}

void release_frame_payload(FrameCache& cache, const CachedFrame& entry) {
  const PixelPayload& payload = entry.payload();
  if (!payload || cache.payloads.empty()) return;
  auto it = cache.payloads.find(payload.identity());
  if (it == cache.payloads.end()) return;
  PayloadRecord& record = it->second;
  // A record without claims was released already: releasing it again must
  // not take its bytes off claimed_bytes twice.
  if (record.claims == 0) return;
  if (--record.claims > 0) return;
  cache.claimed_bytes = sat_sub(cache.claimed_bytes, record.bytes);
  cache.reclaim_ring.push_back(payload.identity());
}

bool try_reclaim_payload(FrameCache& cache, uint64_t identity) {
  auto it = cache.payloads.find(identity);
  if (it == cache.payloads.end() || it->second.claims != 0 || !it->second.holder.expired()) return false;
  cache.used_bytes = sat_sub(cache.used_bytes, it->second.bytes);
  cache.payloads.erase(it);
  return true;
}

void reclaim_released_payloads(FrameCache& cache, uint64_t count) {
  uint64_t n = std::min<uint64_t>(count, cache.reclaim_ring.size());
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t identity = cache.reclaim_ring.front();
    cache.reclaim_ring.pop_front();
    auto it = cache.payloads.find(identity);
    if (it == cache.payloads.end() || it->second.claims != 0) continue;
    // Still shown by the panel, queued for the store or kept by the
    // archive: look again later.
    if (!try_reclaim_payload(cache, identity)) cache.reclaim_ring.push_back(identity);
  }
}

void reclaim_all_released_payloads(FrameCache& cache) { reclaim_released_payloads(cache, cache.reclaim_ring.size()); }

bool cache_sole_holder(const FrameCache& cache, const PixelPayload& payload) {
  uint64_t strong = payload.strong_count();
  if (strong <= 1) return true;
  return strong <= 2 && same_payload(payload, cache.last_payload);
}

bool held_by_cache_alone(const FrameCache& cache, const PixelPayload& payload) {
  uint64_t claims = 1;
  if (auto it = cache.payloads.find(payload.identity()); it != cache.payloads.end()) {
    claims = std::max<uint64_t>(it->second.claims, 1);
  }
  const uint64_t own = sat_add(claims, same_payload(payload, cache.last_payload) ? 1 : 0);
  return payload.strong_count() <= own;
}

void drop_cache_entry(FrameCache& cache, CachedFrame entry) {
  RgbaFrame* raw = entry.raw();
  if (raw == nullptr) return;  // a packed entry just lets go of its bytes
  if (same_payload(raw->pixels, cache.last_payload)) cache.last_payload.reset();
  if (auto bytes = raw->pixels.try_take_bytes()) return_pooled_buffer(std::move(*bytes));
}

std::optional<CachedFrame> replace_cache_entry(FrameCache& cache, FrameKey key, CachedFrame entry) {
  cache.neighbour_memo.reset();
  claim_frame_payload(cache, entry);
  std::optional<CachedFrame> old;
  auto it = cache.index.find(key);
  if (it != cache.index.end()) {
    old = std::exchange(it->second, std::move(entry));
  } else {
    cache.index.emplace(key, std::move(entry));
  }
  if (old) release_frame_payload(cache, *old);
  return old;
}

}  // namespace vel
