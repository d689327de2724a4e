// The archive of cached compositions: when the user switches composition the
// live index is set aside whole, sharing the RAM budget with the live cache.
// It is the first thing the budget gives up: the oldest record loses frames
// farthest from its playhead first (or goes whole), before any live frame.
#pragma once

#include <cstdint>
#include <optional>

#include "cache/frame_cache.h"

namespace vel {

inline constexpr size_t kMaxCachedComps = 8;
inline constexpr uint64_t kArchiveEvictionAllowance = 64;

// Sets the live index aside as the record of `comp_id` (replacing an older
// record of it), clears the live cache, keeps at most 8 records and enforces
// the budget. Answers the frames the record still holds (0 for none).
uint64_t set_aside_comp_frames(FrameCache& cache, uint64_t comp_id);

// Removes every record of `comp_id`.
void drop_cached_comp(FrameCache& cache, uint64_t comp_id);

// Frees part of the archive: one frame of the oldest record while
// `allowance` lasts and partial eviction is on, else the whole oldest
// record. Counts the allowance down; answers whether the archive was not empty.
bool evict_from_archive(FrameCache& cache, uint64_t& allowance);

// Recounts the bytes that evicting the whole archive would free: payloads
// held by nothing but archive entries.
void refresh_archive_bytes(FrameCache& cache);

// Takes the record of `comp_id` out of the archive and makes it the live
// cache (the live cache is cleared first). Answers the restored frame count,
// none when the archive holds no record of it.
std::optional<uint64_t> restore_cached_comp(FrameCache& cache, uint64_t comp_id);

}  // namespace vel
