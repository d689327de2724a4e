// The cache's byte budget and reserve, refreshed on every idle tick: the
// budget is 12 % of physical memory scaled by the memory pressure; the
// reserve is the memory that work in flight holds outside the cache, so the
// cache gives way to it.
#pragma once

#include <cstdint>
#include <optional>

#include "cache/frame_cache.h"

namespace vel {

// Bytes held outside the cache by work in flight.
struct CacheReserveInputs {
  uint64_t pending_unpack_bytes = 0;  // pending_unpack_bytes of the unpack queue, when one exists
  uint64_t pack_bytes_in_flight = 0;  // the pack link's, when a link exists
  uint64_t pooled_bytes = 0;          // left in the pixel buffer pool after its trim
  uint64_t panel_bytes = 0;
  uint64_t store_queue_bytes = 0;
  uint64_t present_job_bytes = 0;
};

// Saturating sum of the inputs.
uint64_t cache_reserve_bytes(const CacheReserveInputs& in);

// (physical / 100 × 12) × pressure / 100, at least 1, without overflow.
uint64_t cache_budget_bytes(uint64_t physical_bytes, uint64_t pressure_percent);

// Sets the reserve; when the physical memory is known also sets the budget
// and enforces it.
void refresh_cache_budget(FrameCache& cache, const CacheReserveInputs& in, std::optional<uint64_t> physical_bytes,
                          uint64_t pressure_percent);

// The cache's own share of the reserve inputs, read from its unpack queue
// and pack link; the caller adds the pool, panel, store and present figures.
CacheReserveInputs cache_own_reserve(const FrameCache& cache);

}  // namespace vel
