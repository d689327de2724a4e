// Turning the frames still missing from the cache into a few contiguous
// ranges, one per `aerender` worker: group into runs, split long runs so the
// workers share the work, merge small pieces when there are too many, and
// put first what the user is about to see. All but split_queued_ranges are
// pure and allocate only their results.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "pool/schedule/frame_range.h"
#include "pool/schedule/queued_range.h"

namespace vel {

// Playhead order around a reference frame: the range holding it, then the
// ranges ahead of it, then those behind, each by start. Stable.
void sort_playhead_order(FramePlan& plan, int64_t reference);

// Runs of consecutive frames in list order (a frame at or below the last
// run's end is dropped), then, while fewer than `wanted` ranges exist, the
// longest (the later on ties) is halved as long as it is at least twice
// `min_run` long. Empty for no frames or `wanted` 0.
FramePlan build_runs(std::span<const int64_t> frames, uint64_t wanted, uint64_t min_run);

// build_runs with a minimum run of at least 4, in playhead order.
FramePlan plan_batches(std::span<const int64_t> frames, uint64_t wanted, int64_t reference, uint64_t min_run);

// The frames at or after the playhead planned into up to `wanted` ranges,
// followed by the frames behind it, one range per hole-separated run; only
// touching ranges are merged, so holes can give more than `wanted` ranges.
FramePlan plan_batches_read_first(std::span<const int64_t> frames, uint64_t wanted, int64_t playhead,
                                  uint64_t min_run);

// Bridges the smallest gaps (the first in start order on ties) while more
// than max(wanted, 1) ranges remain and the smallest gap is at most
// `max_gap`; the result in playhead order. A plan already small enough comes
// back unchanged.
FramePlan merge_batches_to_count(FramePlan plan, int64_t max_gap, uint64_t wanted, int64_t reference);

// How many ranges meet the `window` frames that looping playback over
// [loop_first, loop_last] shows from `frame` on (wrapping at the loop's end).
uint64_t count_ranges_in_loop_window(std::span<const FrameRange> plan, int64_t frame, int64_t loop_first,
                                     int64_t loop_last, int64_t window);

// Splits [first, last] into up to `wanted` pieces at the quantiles of the
// sorted `frames` (the frames of the range that still cost work), so each
// worker gets a similar share. Any quantile that would not advance inside
// the range gives the whole range back as one piece.
std::vector<FrameRange> split_range_at_quantiles(int64_t first, int64_t last, std::span<const int64_t> frames,
                                                 uint64_t wanted);

// The cost points of one queued range, by its position in the queue.
struct QueuedRangeCosts {
  uint64_t queue_position = 0;
  std::vector<int64_t> frames;  // sorted
};

// When more pieces are wanted (`target`) than `costs` has entries, splits
// queued ranges in queue order at their cost quantiles until the extra
// pieces are used up. Each piece keeps its range's replay flag.
void split_queued_ranges(std::deque<QueuedRange>& queue, uint64_t target, std::span<const QueuedRangeCosts> costs);

}  // namespace vel
