// Which frames of a batch's queued ranges are still worth rendering: the
// queue expanded into per-range frame lists under a frame budget, for the
// scheduler to weigh one more worker against. Main thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <vector>

#include "cache/frame_key.h"
#include "pool/schedule/queued_range.h"

namespace vel {

struct FrameCache;

struct RangeFrames {
  uint64_t queue_position = 0;  // counts every queued range from the front, listed or not
  std::vector<int64_t> frames;  // ascending
  bool operator==(const RangeFrames&) const = default;
};

// Host time of a frame index: value = frame × step over scale.
struct BatchTimeBase {
  int64_t step = 1;
  uint32_t scale = 0;
};

// The frame's key; none when frame × step overflows or leaves 32 bits.
// Inline: the frame lists call it for every frame they visit.
inline std::optional<FrameKey> batch_frame_key(const BatchTimeBase& time, int64_t frame) {
  int64_t value = 0;
  if (__builtin_mul_overflow(frame, time.step, &value)) return std::nullopt;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return FrameKey{static_cast<int32_t>(value), time.scale};
}

// Every frame with a host time of every first-chance range, front first.
// Each visited frame takes one unit of `budget` whatever happens to it;
// replay ranges and inverted ranges take none; the walk stops when the
// budget is used up and leaves the rest in `budget`.
std::vector<RangeFrames> build_batch_frames(const std::deque<QueuedRange>& queue, const BatchTimeBase& time,
                                            uint64_t& budget);

// Which cached frames already serve: with mode 1, one cached at least
// `min_width` wide.
struct WidthRule {
  uint32_t mode = 0;
  uint32_t min_width = 0;
};

// As build_batch_frames, leaving out the frames `cache` already holds wide
// enough (when the rule's mode is 1 and the cache is not empty).
std::vector<RangeFrames> build_uncached_batch_frames(const std::deque<QueuedRange>& queue, const BatchTimeBase& time,
                                                     uint64_t& budget, WidthRule rule, const FrameCache& cache);

// The batch's frame counter that the memory samples carry: frames of
// workers still running when the adaptive scheduler judges them (both
// switches on), else every frame delivered; 0 without a batch.
struct BatchFrameCounters {
  uint64_t useful_frames = 0;
  uint64_t cohort_frames = 0;
};
uint64_t sampled_frame_count(const std::optional<BatchFrameCounters>& batch, bool measured_admission,
                             bool adaptive_scheduler);

}  // namespace vel
