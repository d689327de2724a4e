// Payload accounting: a payload shared by several entries counts once in
// used_bytes, and its bytes leave used_bytes only when nobody (cache, panel,
// store job, archive, worker) holds it any more. Releases are queued in the
// reclaim ring and settled in small batches so no operation walks the map.
#pragma once

#include <cstdint>
#include <optional>

#include "cache/frame_cache.h"

namespace vel {

inline constexpr uint64_t kSettleBatch = 64;

// The entry now holds its payload.
void claim_frame_payload(FrameCache& cache, const CachedFrame& entry);
// The entry no longer holds its payload. Its bytes stay counted until a
// settle finds the payload gone.
void release_frame_payload(FrameCache& cache, const CachedFrame& entry);
// Settles up to `count` queued releases; payloads still held elsewhere go
// back to the end of the ring.
void reclaim_released_payloads(FrameCache& cache, uint64_t count);
// Settles every release queued now.
void reclaim_all_released_payloads(FrameCache& cache);
// Forgets the payload when its record has no claims and nothing holds it.
bool try_reclaim_payload(FrameCache& cache, uint64_t identity);

// True when the cache's references are the only ones: a strong count of at
// most 1, or at most 2 when it is also the last inserted payload.
bool cache_sole_holder(const FrameCache& cache, const PixelPayload& payload);

// True when nothing outside the cache holds the payload: its strong count is
// at most the index entries claiming it (at least 1), plus 1 when it is also
// the last inserted payload. Deduplicated frames share one payload between
// several entries; they are still the cache's alone and may be packed.
bool held_by_cache_alone(const FrameCache& cache, const PixelPayload& payload);

// Disposes of an entry that has left the index: raw pixels held by nobody
// else go back to the pixel buffer pool.
void drop_cache_entry(FrameCache& cache, CachedFrame entry);

// Puts an entry into the index (claiming its payload and releasing the old
// entry's); answers the old entry, which the caller disposes of.
std::optional<CachedFrame> replace_cache_entry(FrameCache& cache, FrameKey key, CachedFrame entry);

}  // namespace vel
