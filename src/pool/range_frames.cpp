#include "pool/range_frames.h"

#include <limits>

#include "cache/frame_cache.h"
#include "cache/frame_cache_ops.h"

namespace vel {
namespace {

template <class Keep>
std::vector<RangeFrames> list_frames(const std::deque<QueuedRange>& queue, const BatchTimeBase& time,
                                     uint64_t& budget, Keep keep) {
  std::vector<RangeFrames> out;
  uint64_t position = 0;
  for (auto it = queue.begin(); it != queue.end(); ++it, ++position) {
    if (it->replay || budget == 0 || it->start > it->end) continue;
    RangeFrames listed{position, {}};
    for (int64_t f = it->start; budget > 0; ++f) {
      --budget;
      if (std::optional<FrameKey> key = batch_frame_key(time, f); key && keep(*key)) listed.frames.push_back(f);
      if (f == it->end) break;
    }
    if (!listed.frames.empty()) out.push_back(std::move(listed));
  }
  return out;
}

}  // namespace

std::optional<FrameKey> batch_frame_key(const BatchTimeBase& time, int64_t frame) {
  int64_t value = 0;
  if (__builtin_mul_overflow(frame, time.step, &value)) return std::nullopt;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return FrameKey{static_cast<int32_t>(value), time.scale};
}

std::vector<RangeFrames> build_batch_frames(const std::deque<QueuedRange>& queue, const BatchTimeBase& time,
                                            uint64_t& budget) {
  return list_frames(queue, time, budget, [](FrameKey) { return true; });
}

std::vector<RangeFrames> build_uncached_batch_frames(const std::deque<QueuedRange>& queue, const BatchTimeBase& time,
                                                     uint64_t& budget, WidthRule rule, const FrameCache& cache) {
  if (rule.mode != 1 || cache.index.empty()) return build_batch_frames(queue, time, budget);
  return list_frames(queue, time, budget, [&](FrameKey key) {
    const std::optional<uint32_t> width = cached_frame_width(cache, key);
    return !width || *width < rule.min_width;
  });
}

}  // namespace vel
