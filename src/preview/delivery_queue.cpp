#include "preview/delivery_queue.h"

#include <algorithm>

#include "cache/frame_cache_ops.h"
#include "core/saturating.h"
#include "preview/work_area.h"

namespace vel {

namespace {

// The window's frames with a key that the cache lacks at `want_width`, from
// `start` onward, wrapping inside `b`.
void find_lacking_frames(DeliveryWindowMemo& memo, const PreviewController& ctl, const FrameCache& cache,
                         const DeliveryWindowMemo::Basis& basis) {
  memo.lacking.clear();
  sat_inc(memo.passes);
  const WorkAreaFrames b = basis.bounds;
  const int64_t span = b.last - b.first + 1;
  for (int64_t i = 0; i < basis.considered; ++i) {
    const int64_t f = b.first + (basis.start - b.first + i) % span;
    const std::optional<FrameKey> key = frame_key_of(ctl, f);
    if (!key) continue;
    const std::optional<uint32_t> width = cached_frame_width(cache, *key);
    if (!width || *width < basis.want_width) memo.lacking.push_back({f, *key});
  }
  memo.basis = basis;
}

}  // namespace

DeliveryQueue build_delivery_queue(const PreviewController& ctl, const FrameCache& cache, uint32_t want_width,
                                   const PreviewTickInputs& in, const PoolView& pool) {
  DeliveryWindowMemo fresh;
  return build_delivery_queue(ctl, cache, want_width, in, pool, fresh);
}

DeliveryQueue build_delivery_queue(const PreviewController& ctl, const FrameCache& cache, uint32_t want_width,
                                   const PreviewTickInputs& in, const PoolView& pool, DeliveryWindowMemo& memo) {
  DeliveryQueue q;
  if (!ctl.timing || ctl.frame_count <= 0) return q;
  // Only frames with a key: a frame rate so fine that the work area passes
  // 2^31 ticks would otherwise spend the sweep on frames that cannot be made.
  const WorkAreaFrames b = keyed_frames(work_area_bounds(ctl.work_area, ctl.frame_count), ctl.timing->frame_value);
  const int64_t span = b.last - b.first + 1;
  auto given_up = [&](int64_t f) {
    if (frame_in_ranges(in.pool_given_up, f)) return true;
    return pool.claims_asked && frame_in_ranges(in.pool_pending, f) && !frame_in_ranges(pool.claims, f);
  };
  auto held = [&](int64_t f) { return frame_in_ranges(in.pool_pending, f) && !given_up(f); };
  auto wanted = [&](FrameKey key) {
    if (ctl.unplaceable.count(key) || ctl.room_refused.holds_back(cache, key)) return false;
    const std::optional<uint32_t> width = cached_frame_width(cache, key);
    return !width || *width < want_width;
  };

  const int64_t playhead = ctl.playhead.frame;
  q.playhead_key = frame_key_of(ctl, playhead);
  // The user waits for this one now. The host's render manager making it
  // already, a pool worker about to hand it over, or the store answering it
  // next, bring it within a render; a batch may well deliver it last (or
  // never: silent workers), and a store answer asked behind a whole work
  // area of others (the playhead's previous position) comes seconds later.
  auto coming = [&](int64_t f) {
    return std::find(in.pool_coming.begin(), in.pool_coming.end(), f) != in.pool_coming.end();
  };
  if (const auto key = q.playhead_key; key && wanted(*key) && !ctl.async_pending_keys.count(*key) &&
                                       !ctl.store_pending.answered_next(*key) && !coming(playhead)) {
    q.frames.push_back({playhead, *key, given_up(playhead)});
    q.frames_unclaimed = !held(playhead);
    q.none_missing = false;
  }
  if (span <= 0) return q;
  // The work area from the playhead onward, wrapping; at most the cache's
  // frame limit of it. Frames a running batch holds are pending there, like
  // the asynchronous and the store's.
  const int64_t start = loop_entry(playhead, b);
  const auto considered =
      static_cast<int64_t>(std::min(static_cast<uint64_t>(span), std::max<uint64_t>(cache.frame_limit, 1)));
  const DeliveryWindowMemo::Basis basis{cache.generation, ctl.timing, b, start, considered, want_width};
  if (memo.basis != basis) find_lacking_frames(memo, ctl, cache, basis);
  for (const DeliveryWindowMemo::Lacking& lacking : memo.lacking) {
    const int64_t f = lacking.frame;
    const FrameKey key = lacking.key;
    if (f == playhead || ctl.unplaceable.count(key) || ctl.room_refused.holds_back(cache, key) ||
        ctl.async_pending_keys.count(key) || ctl.store_pending.count(key)) {
      continue;
    }
    q.none_missing = false;
    if (held(f)) continue;
    q.frames_unclaimed = true;
    q.frames.push_back({f, key, given_up(f)});
  }
  // With the pool engaged, what it gave up comes before what waits for its
  // next batch, so that the decision reaches it.
  if (in.pool_engaged) {
    const auto rest = q.frames.begin() + (q.frames.empty() || q.frames.front().frame != playhead ? 0 : 1);
    std::stable_partition(rest, q.frames.end(), [](const QueuedFrame& f) { return f.given_up; });
  }
  return q;
}

DeliveryInputs delivery_inputs_at(const DeliveryQueue& q, size_t next, DeliveryInputs base) {
  const bool more = next < q.frames.size();
  base.missing_frames = more ? q.frames.size() - next : 0;
  base.current_missing = more && q.playhead_key && q.frames[next].key == *q.playhead_key;
  base.pool_gave_up = more && q.frames[next].given_up;
  return base;
}

}  // namespace vel
