// FrameCache: the RAM frame cache's state block, one per plug-in instance,
// touched only on the host's main thread. The operations live beside it:
// payload_accounting.h, frame_cache_ops.h, eviction.h, archive.h.
//
// Invariants the operations keep:
// - every key of the index is in `all_frames`;
// - every payload an index entry holds has a PayloadRecord whose claims count
//   the entries holding it;
// - used_bytes is the sum of bytes over all records, claimed_bytes the sum
//   over those with at least one claim.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "cache/cached_comp.h"
#include "cache/cached_frame.h"
#include "cache/frame_key.h"
#include "cache/key_changes.h"
#include "cache/pack_link.h"
#include "cache/pixel_payload.h"
#include "cache/unpack_queue.h"
#include "core/hasher.h"
#include "core/saturating.h"

namespace vel {

inline constexpr uint64_t kMaxFrameLimit = 4096;

// One entry of the payload accounting map, keyed by payload identity.
struct PayloadRecord {
  WeakPixelPayload holder;  // tells whether anybody still holds the payload
  uint64_t claims = 0;      // index entries holding it
  uint64_t bytes = 0;       // allocated capacity when first accounted
};

struct NeighbourFrame {
  int64_t frame = 0;
  PixelPayload pixels;
  double time = 0.0;
  uint32_t width = 0;
  uint32_t height = 0;
};
using NeighbourList = std::shared_ptr<const std::vector<NeighbourFrame>>;

struct NeighbourMemo {
  NeighbourList list;
  uint64_t generation = 0;
  int64_t current = 0;
  int64_t duration_value = 0;
  uint32_t duration_scale = 0;
  int64_t first = 0;
  int64_t last = 0;
  int64_t ahead = 0;
};

struct FrameCache {
  FrameCache();
  // Stops the unpack worker, as dropping the pack link ends the pack worker:
  // a cache let go must not leave its workers holding registry places.
  ~FrameCache();
  FrameCache(const FrameCache&) = delete;
  FrameCache& operator=(const FrameCache&) = delete;

  MicrosRange work_range;
  std::optional<PackLink> pack_link;
  std::deque<uint64_t> reclaim_ring;  // payload identities whose last claim went
  std::deque<CachedComp> archive;     // oldest first, at most 8
  std::deque<FrameKey> insertion_fifo;
  std::vector<TimedKey> deferred_pack_candidates;
  std::deque<FrameKey> store_write_queue;
  std::unordered_map<uint64_t, PayloadRecord, IntKeyHasher<kHashSeed64>> payloads;
  FrameIndex index;
  std::optional<NeighbourMemo> neighbour_memo;

  uint64_t frame_limit = kMaxFrameLimit;
  std::shared_ptr<UnpackQueue> unpack_queue;
  uint64_t reserve_bytes = 0;
  uint64_t insert_count = 0;
  uint64_t used_bytes = 0;
  uint64_t claimed_bytes = 0;
  uint64_t budget_bytes = 0;  // 12 % of physical memory until the first budget refresh
  uint64_t archive_bytes = 0;
  std::optional<uint64_t> archive_stamp_ns;  // monotonic

  uint64_t archive_evicted_frames = 0;
  uint64_t archive_released_bytes = 0;
  uint64_t archive_whole_fallbacks = 0;

  TimeOrderedKeys all_frames;
  TimeOrderedKeys pack_candidates;

  PixelPayload last_payload;  // of the most recent insertion; empty for none
  // Raised by every change of the index, packing and unpacking included
  // (what the neighbour list holds).
  uint64_t generation = 0;
  // Which keys came, went or changed size (key_changes.h).
  KeyChanges key_changes;

  uint64_t narrower_rejects = 0;
  uint64_t dedup_hits = 0;
  uint64_t dedup_bytes = 0;

  std::optional<FrameKey> focus;

  uint32_t packer_calls = 0;
  bool packing_disabled = false;

  // VELOCINTA_PARTIAL_ARCHIVE_EVICTION as read at construction; a field so
  // that both behaviours can be exercised in one process.
  bool partial_archive_eviction = true;
};

// max(budget − reserve, 1), the difference counting as 0 when the reserve is larger.
inline uint64_t cache_byte_limit(const FrameCache& c) {
  uint64_t room = c.budget_bytes > c.reserve_bytes ? c.budget_bytes - c.reserve_bytes : 0;
  return room > 0 ? room : 1;
}

}  // namespace vel
