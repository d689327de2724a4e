#include "pool/schedule/range_frames.h"

#include <algorithm>
#include <limits>

#include "cache/frame_cache.h"
#include "cache/frame_cache_ops.h"

namespace vel {
namespace {

// Every frame with a host time is listed.
struct ListAll {
  void start_range(int64_t) {}
  bool keep(int64_t, FrameKey) { return true; }
};

// One cache lookup per frame: cheapest when few frames are visited.
struct LookUpEach {
  const FrameCache& cache;
  uint32_t min_width;
  void start_range(int64_t) {}
  bool keep(int64_t, FrameKey key) {
    const std::optional<uint32_t> width = cached_frame_width(cache, key);
    return !width || *width < min_width;
  }
};

// The frames the cache already serves, marked once in a bitmap over the
// span the walk visits: a walk over many frames then touches each cache
// entry once instead of hashing every frame.
struct MarkServed {
  int64_t first = 0;
  std::vector<uint64_t> bits;
  void start_range(int64_t) {}
  bool keep(int64_t frame, FrameKey) {
    const uint64_t i = static_cast<uint64_t>(frame) - static_cast<uint64_t>(first);
    return ((bits[i / 64] >> (i % 64)) & 1) == 0;
  }
};

// The frames a walk visits at most (the listable ranges within the budget)
// and the span they lie in.
struct VisitSpan {
  uint64_t frames = 0;
  int64_t first = std::numeric_limits<int64_t>::max();
  int64_t last = std::numeric_limits<int64_t>::min();
  uint64_t width() const { return frames == 0 ? 0 : static_cast<uint64_t>(last) - static_cast<uint64_t>(first); }
};

VisitSpan visit_span(const std::deque<QueuedRange>& queue, uint64_t budget) {
  VisitSpan v;
  for (const QueuedRange& r : queue) {
    if (v.frames >= budget) break;
    if (r.replay || r.start > r.end) continue;
    const uint64_t span = static_cast<uint64_t>(r.end) - static_cast<uint64_t>(r.start);
    const uint64_t taken = std::min(budget - v.frames, span == UINT64_MAX ? span : span + 1);
    v.frames += taken;
    v.first = std::min(v.first, r.start);
    v.last = std::max(v.last, static_cast<int64_t>(static_cast<uint64_t>(r.start) + (taken - 1)));
  }
  return v;
}

MarkServed mark_served(const FrameCache& cache, const BatchTimeBase& time, uint32_t min_width, const VisitSpan& v) {
  MarkServed m;
  m.first = v.first;
  m.bits.assign(v.width() / 64 + 1, 0);
  for (const auto& [key, entry] : cache.index) {
    // A frame's key is (frame × step, scale): only exact multiples of the
    // step at the batch's scale can be one of its frames.
    if (key.scale != time.scale || entry.width() < min_width || int64_t{key.value} % time.step != 0) continue;
    const int64_t frame = int64_t{key.value} / time.step;
    if (frame < v.first || frame > v.last) continue;
    const uint64_t i = static_cast<uint64_t>(frame) - static_cast<uint64_t>(v.first);
    m.bits[i / 64] |= uint64_t{1} << (i % 64);
  }
  return m;
}

template <class Filter>
std::vector<RangeFrames> list_frames(const std::deque<QueuedRange>& queue, const BatchTimeBase& time,
                                     uint64_t& budget, Filter& filter) {
  std::vector<RangeFrames> out;
  uint64_t position = 0;
  for (auto it = queue.begin(); it != queue.end(); ++it, ++position) {
    if (it->replay || budget == 0 || it->start > it->end) continue;
    RangeFrames listed{position, {}};
    filter.start_range(it->start);
    for (int64_t f = it->start; budget > 0; ++f) {
      --budget;
      const std::optional<FrameKey> key = batch_frame_key(time, f);
      if (key && filter.keep(f, *key)) listed.frames.push_back(f);
      if (f == it->end) break;
    }
    if (!listed.frames.empty()) out.push_back(std::move(listed));
  }
  return out;
}

}  // namespace

std::vector<RangeFrames> build_batch_frames(const std::deque<QueuedRange>& queue, const BatchTimeBase& time,
                                            uint64_t& budget) {
  ListAll all;
  return list_frames(queue, time, budget, all);
}

std::vector<RangeFrames> build_uncached_batch_frames(const std::deque<QueuedRange>& queue, const BatchTimeBase& time,
                                                     uint64_t& budget, WidthRule rule, const FrameCache& cache) {
  if (rule.mode != 1 || cache.index.empty()) return build_batch_frames(queue, time, budget);
  // Marking pays when the walk visits more frames than the cache holds, over
  // a span not much wider than those frames. With a step of 0 every frame
  // shares one key: looking it up is all it takes.
  const VisitSpan v = visit_span(queue, budget);
  if (time.step == 0 || v.frames < cache.index.size() || v.width() / 8 > v.frames) {
    LookUpEach each{cache, rule.min_width};
    return list_frames(queue, time, budget, each);
  }
  MarkServed marked = mark_served(cache, time, rule.min_width, v);
  return list_frames(queue, time, budget, marked);
}

uint64_t sampled_frame_count(const std::optional<BatchFrameCounters>& batch, bool measured_admission,
                             bool adaptive_scheduler) {
  if (!batch) return 0;
  return measured_admission && adaptive_scheduler ? batch->cohort_frames : batch->useful_frames;
}

}  // namespace vel
