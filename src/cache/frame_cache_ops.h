// Operations of the RAM frame cache (main thread only). The cache holds the
// active composition's frames by FrameKey under a byte budget and a frame
// limit, answers exact, nearest and neighbour lookups, and feeds the disk
// store with the keys still to write.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "cache/frame_cache.h"
#include "cache/rgba_frame.h"

namespace vel {

// What became of a produced frame offered to the cache.
enum class OfferAnswer {
  Stored,     // cached at its size
  NotLarger,  // the key is cached already at this size or larger
  Invalid,    // zero scale, empty or mis-sized pixels
  NoRoom,     // a sound frame the budget put out (or kept out): the cache
              // holds frames nearer the playhead, and may take it later
};

// Validates a produced frame and inserts it. Refuses a zero scale, an empty
// or mis-sized frame, and any frame that is not strictly larger than the one
// already cached for the key. Sets the frame's time to value / scale.
OfferAnswer offer_rendered_frame(FrameCache& cache, FrameKey key, RgbaFrame frame);
// The same, answering only whether the frame is now cached at its size.
bool cache_rendered_frame(FrameCache& cache, FrameKey key, RgbaFrame frame);

// Whether a new frame of `key` going in now would stay, as far as the
// frame count tells: the playhead's own frame always stays; another stays
// while the cache is below its frame limit and byte limit, or when a cached
// frame lies farther from the playhead. A frame of another size may still
// find the byte limit short.
bool cache_would_keep(const FrameCache& cache, FrameKey key);

// Inserts an already validated frame, replacing the key's entry unless the
// new frame is narrower (counted) or larger without room in the budget.
void insert_frame(FrameCache& cache, FrameKey key, RgbaFrame frame);

// The raw entry of `key`; none when absent or packed.
std::optional<RgbaFrame> cached_frame(const FrameCache& cache, FrameKey key);
// Width of a raw or packed entry.
std::optional<uint32_t> cached_frame_width(const FrameCache& cache, FrameKey key);
// Raw or packed.
bool contains_frame(const FrameCache& cache, FrameKey key);

// The cached key nearest (value, scale) within `tolerance` seconds; on equal
// distance the earlier frame. A negative or NaN tolerance counts as 0.
std::optional<FrameKey> nearest_cached_frame(const FrameCache& cache, int32_t value, uint32_t scale, double tolerance);

// Raw frames from 12 before `current` to `ahead` after it, wrapping inside
// [first, last]. Memoised for one generation and the same arguments.
NeighbourList neighbour_frames(FrameCache& cache, int64_t current, int64_t duration_value, uint32_t duration_scale,
                               int64_t first, int64_t last, int64_t ahead);

// The playhead; also hands focus and work range to the unpack queue.
void set_playhead_focus(FrameCache& cache, FrameKey key);

// Work range [first, last + 1) frames in microseconds; invalid for a
// duration below 1, a zero scale, last < first or an empty span.
MicrosRange frame_range_micros(int64_t duration_value, uint32_t duration_scale, int64_t first, int64_t last);

// Whether `n` more bytes in place of `entry` (null for a new key) fit the
// byte limit, counting the archive's freeable bytes as free.
bool frame_fits_budget(FrameCache& cache, const CachedFrame* entry, uint64_t n);
// Whether the key's frame re-rendered at `wanted_width` (height scaled
// alike) would fit the budget.
bool upgrade_fits_budget(FrameCache& cache, FrameKey key, uint32_t wanted_width);

// Appends to the store write queue, dropping its oldest keys beyond
// 2 × frame limit + 64.
void queue_frame_for_store(FrameCache& cache, FrameKey key);
// Refills the store write queue with every cached key in time order.
void rebuild_store_queue(FrameCache& cache);

// Empties the live cache; the archive, the focus and the counters stay.
void clear_frame_cache(FrameCache& cache);

// The cache's part of the cache reset: drops the whole archive and settles
// every release. The caller then resets the preview's own list and counters
// and runs the preview reset.
void reset_cache_state(FrameCache& cache);

// Walks the index from `it`, answering the next key that no range (a, b) of
// `ranges` holds (a × s < v × m < b × s; a ≤ 0 < b for v = 0) and leaving
// `it` past it, so the caller may evict the answered key. Keys of negative
// value or zero scale, a zero multiplier or no ranges hold every key.
std::optional<FrameKey> next_cached_key(FrameIndex::const_iterator& it, FrameIndex::const_iterator end,
                                        uint64_t multiplier, std::span<const std::pair<int64_t, int64_t>> ranges);

}  // namespace vel
