// Eviction: which frame goes when the cache is over its frame limit or byte
// limit. The archive goes first, then the frame farthest from the playhead
// (forward distance, wrapping inside the work range; frames outside the
// work range are farther than any inside), never the playhead's own frame.
#pragma once

#include <cstdint>
#include <optional>

#include "cache/frame_cache.h"

namespace vel {

// Removes one key from the index and both time-ordered sets.
void evict_frame(FrameCache& cache, FrameKey key);

// Evicts until the index fits the frame limit and used bytes the byte
// limit, or only the focus frame is left. Always terminates.
void enforce_cache_budget(FrameCache& cache);

// Distance of `key` from the focus in microseconds (0 without a focus).
int64_t focus_distance(const FrameCache& cache, FrameKey key);

// The farthest of three candidates of `set` (earliest, latest, last before
// the focus), skipping the focus key; none without a focus.
std::optional<TimedKey> farthest_from_focus(const FrameCache& cache, const TimeOrderedKeys& set);

// The oldest key of the insertion FIFO still in the index (stale keys are
// popped on the way).
std::optional<FrameKey> oldest_inserted_key(FrameCache& cache);

}  // namespace vel
