#include "preview/delivery_queue.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "cache/frame_cache_ops.h"
#include "core/saturating.h"
#include "preview/loop_window.h"
#include "preview/work_area.h"

namespace vel {

namespace {

using LackingList = std::deque<DeliveryWindowMemo::Lacking>;

// How far frame `f` of `bounds` lies after `start`, round the loop.
int64_t loop_distance(const WorkAreaFrames& bounds, int64_t start, int64_t f) {
  const int64_t span = bounds.last - bounds.first + 1;
  return ((f - start) % span + span) % span;
}

// The first entry of `v` (in the order of the window starting at `start`)
// lying `d` frames or more after `start`.
size_t position_at(const LackingList& v, const WorkAreaFrames& bounds, int64_t start, int64_t d) {
  const auto at = std::lower_bound(v.begin(), v.end(), d, [&](const DeliveryWindowMemo::Lacking& l, int64_t dist) {
    return loop_distance(bounds, start, l.frame) < dist;
  });
  return static_cast<size_t>(at - v.begin());
}

// Whether the cache lacks frame `f` of the window at the wanted width and
// the disk store is not about to give it, kept in the memo.
void look_at(DeliveryWindowMemo& memo, const PreviewController& ctl, const FrameCache& cache, int64_t f) {
  sat_inc(memo.frames_looked_at);
  const std::optional<FrameKey> key = frame_key_of(ctl, f);
  const std::optional<uint32_t> width = key ? cached_frame_width(cache, *key) : std::nullopt;
  const bool lacks = key && (!width || *width < memo.basis->want_width) && ctl.store_pending.count(*key) == 0;
  LackingList& v = memo.lacking;
  const WorkAreaFrames& b = memo.basis->bounds;
  const auto at = v.begin() + static_cast<ptrdiff_t>(position_at(v, b, memo.start, loop_distance(b, memo.start, f)));
  const bool listed = at != v.end() && at->frame == f;
  if (lacks && !listed) v.insert(at, {f, *key});
  if (!lacks && listed) v.erase(at);
}

// Takes the frames of `run` out of `v`, in the order of the window starting
// at `start`: two pieces when the run holds the start.
void drop_run(LackingList& v, const WorkAreaFrames& bounds, int64_t start, const FrameRun& run) {
  auto drop = [&](int64_t first, int64_t last) {
    if (first > last) return;
    const size_t from = position_at(v, bounds, start, loop_distance(bounds, start, first));
    const size_t to = position_at(v, bounds, start, loop_distance(bounds, start, last) + 1);
    if (from < to) v.erase(v.begin() + static_cast<ptrdiff_t>(from), v.begin() + static_cast<ptrdiff_t>(to));
  };
  if (run.first < start && start <= run.last) {
    drop(start, run.last);
    drop(run.first, start - 1);
  } else {
    drop(run.first, run.last);
  }
}

// Awaited keys followed one by one up to this many (and a sixteenth of the
// window) since the last call; past it the window is gone through whole,
// which costs less than moving the list's entries for each of them.
constexpr uint64_t kAwaitedFollowed = 64;

// Brings the memo to the window `now`: through the frames that entered it
// and the keys the cache and the store's awaited set noted since the last
// call, or through the whole window when its basis changed, the playhead
// jumped, the changes are no longer all kept or the store was asked for
// much of the window at once.
void follow_window(DeliveryWindowMemo& memo, const PreviewController& ctl, const FrameCache& cache,
                   const DeliveryWindowMemo::Basis& basis, const LoopWindow& now) {
  const KeyChanges& awaited = ctl.store_pending.changes();
  std::optional<WindowMove> move;
  if (memo.basis == basis && cache.key_changes.can_follow(memo.cache_seen) && awaited.can_follow(memo.awaited_seen) &&
      awaited.cursor().next - memo.awaited_seen.next <= kAwaitedFollowed + static_cast<uint64_t>(now.length) / 16) {
    move = loop_window_move(LoopWindow{basis.bounds, memo.start, basis.considered}, now);
  }
  memo.basis = basis;
  LackingList& v = memo.lacking;
  if (!move) {
    v.clear();
    memo.start = now.start;
    sat_inc(memo.passes);
    for (int64_t i = 0; i < now.length; ++i) look_at(memo, ctl, cache, loop_window_frame(now, i));
  } else {
    const WorkAreaFrames& b = basis.bounds;
    for (const FrameRun& run : move->left) drop_run(v, b, memo.start, run);
    // The frames both windows hold come in the new window's order once
    // those before its start go round to the back: a few, at either end.
    const size_t p = position_at(v, b, memo.start, loop_distance(b, memo.start, now.start));
    if (p <= v.size() - p) {
      for (size_t i = 0; i < p; ++i) {
        v.push_back(v.front());
        v.pop_front();
      }
    } else {
      for (size_t i = p; i < v.size(); ++i) {
        v.push_front(v.back());
        v.pop_back();
      }
    }
    memo.start = now.start;
    for (const FrameRun& run : move->entered) {
      for (int64_t f = run.first; f <= run.last; ++f) look_at(memo, ctl, cache, f);
    }
    auto changed = [&](FrameKey key, KeyChange) {
      const std::optional<int64_t> f = frame_of_key(ctl, key);
      if (f && loop_window_offset(now, *f)) look_at(memo, ctl, cache, *f);
    };
    cache.key_changes.follow(memo.cache_seen, changed);
    awaited.follow(memo.awaited_seen, changed);
  }
  memo.cache_seen = cache.key_changes.cursor();
  memo.awaited_seen = awaited.cursor();
}

}  // namespace

DeliveryQueue build_delivery_queue(const PreviewController& ctl, const FrameCache& cache, uint32_t want_width,
                                   const PreviewTickInputs& in, const PoolView& pool) {
  DeliveryWindowMemo fresh;
  DeliveryQueue q = build_delivery_queue(ctl, cache, want_width, in, pool, fresh);
  q.owned_ = std::move(fresh.lacking);
  q.source_ = nullptr;
  q.weighed_ = nullptr;
  return q;
}

DeliveryQueue build_delivery_queue(const PreviewController& ctl, const FrameCache& cache, uint32_t want_width,
                                   const PreviewTickInputs& in, const PoolView& pool, DeliveryWindowMemo& memo) {
  DeliveryQueue q;
  if (!ctl.timing || ctl.frame_count <= 0) return q;
  // Only frames with a key: a frame rate so fine that the work area passes
  // 2^31 ticks would otherwise spend the sweep on frames that cannot be made.
  const WorkAreaFrames b = keyed_frames(work_area_bounds(ctl.work_area, ctl.frame_count), ctl.timing->frame_value);
  const int64_t span = b.last - b.first + 1;
  // Without a batch (a fill by the host's renderer) no range is asked.
  const bool batch = !in.pool_given_up.empty() || !in.pool_pending.empty();
  auto given_up = [&](int64_t f) {
    if (!batch) return false;
    if (frame_in_ranges(in.pool_given_up, f)) return true;
    return pool.claims_asked && frame_in_ranges(in.pool_pending, f) && !frame_in_ranges(pool.claims, f);
  };
  auto held = [&](int64_t f) { return batch && frame_in_ranges(in.pool_pending, f) && !given_up(f); };
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
    q.built_.push_back({playhead, *key, given_up(playhead)});
    q.count_ = 1;
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
  follow_window(memo, ctl, cache, DeliveryWindowMemo::Basis{ctl.timing, b, considered, want_width},
                LoopWindow{b, start, considered});
  q.source_ = &memo.lacking;
  q.weighed_ = &memo.frames_weighed;
  const LackingList& lacking = memo.lacking;
  const size_t n = lacking.size();
  auto position_of = [&](int64_t f) { return position_at(lacking, b, start, loop_distance(b, start, f)); };

  // The lacking frames pending elsewhere, found from the pending keys: the
  // playhead's (queued above or not at all), the refused, the asked of the
  // host. Those asked of the store are out of the lacking list already.
  std::vector<size_t>& skipped = q.skipped_;
  auto index_of = [&](int64_t f) -> std::optional<size_t> {
    if (f < b.first || f > b.last) return std::nullopt;
    const size_t i = position_of(f);
    if (i == n || lacking[i].frame != f) return std::nullopt;
    return i;
  };
  auto skip = [&](FrameKey key) {
    sat_inc(memo.frames_weighed);
    const std::optional<int64_t> f = frame_of_key(ctl, key);
    const std::optional<size_t> i = f ? index_of(*f) : std::nullopt;
    if (i && lacking[*i].key == key) skipped.push_back(*i);
  };
  if (const std::optional<size_t> i = index_of(playhead)) skipped.push_back(*i);
  for (const FrameKey key : ctl.unplaceable) skip(key);
  ctl.room_refused.for_each_key([&](FrameKey key) {
    if (ctl.room_refused.holds_back(cache, key)) skip(key);
  });
  for (const FrameKey key : ctl.async_pending_keys) skip(key);
  std::sort(skipped.begin(), skipped.end());
  skipped.erase(std::unique(skipped.begin(), skipped.end()), skipped.end());
  // Every other lacking frame is missing, held by a batch or not.
  if (skipped.size() < n) q.none_missing = false;

  // In window order, cut where a batch's ranges begin or end, so that each
  // run is held, given up or neither throughout; a range reaching past the
  // work area changes there, where the window wraps round to its beginning.
  std::vector<size_t> cuts{position_of(b.first), n};
  auto cut_at = [&](const std::vector<PoolFrameRange>& ranges) {
    for (const auto& [first, last] : ranges) {
      if (first > b.first && first <= b.last) cuts.push_back(position_of(first));
      if (last >= b.first && last < b.last) cuts.push_back(position_of(last + 1));
    }
  };
  if (batch) {
    cut_at(in.pool_pending);
    cut_at(in.pool_given_up);
    if (pool.claims_asked) cut_at(pool.claims);
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  size_t begin = 0;
  for (auto c = std::upper_bound(cuts.begin(), cuts.end(), begin); begin < n; ++c) {
    const size_t end = c == cuts.end() ? n : *c;
    const int64_t f = lacking[begin].frame;
    if (!held(f)) q.runs_.push_back({begin, end, given_up(f)});
    begin = end;
  }
  // With the pool engaged, what it gave up comes before what waits for its
  // next batch, so that the decision reaches it.
  if (in.pool_engaged) {
    std::stable_partition(q.runs_.begin(), q.runs_.end(), [](const DeliveryQueue::Run& r) { return r.given_up; });
  }
  size_t entries = 0;
  for (const DeliveryQueue::Run& r : q.runs_) {
    entries += (r.end - r.begin) - static_cast<size_t>(std::lower_bound(skipped.begin(), skipped.end(), r.end) -
                                                       std::lower_bound(skipped.begin(), skipped.end(), r.begin));
  }
  if (entries > 0) q.frames_unclaimed = true;
  q.count_ += entries;
  if (!q.runs_.empty()) q.at_ = q.runs_.front().begin;
  return q;
}

void DeliveryQueue::build_next() const {
  const LackingList& v = lacking();
  while (run_ < runs_.size()) {
    const Run& r = runs_[run_];
    while (at_ < r.end && std::binary_search(skipped_.begin(), skipped_.end(), at_)) ++at_;
    if (at_ < r.end) {
      const DeliveryWindowMemo::Lacking& l = v[at_++];
      built_.push_back({l.frame, l.key, r.given_up});
      if (weighed_) sat_inc(*weighed_);
      return;
    }
    if (++run_ < runs_.size()) at_ = runs_[run_].begin;
  }
}

const QueuedFrame& DeliveryQueue::operator[](size_t i) const {
  while (built_.size() <= i && built_.size() < count_) build_next();
  return built_.at(i);
}

std::vector<QueuedFrame> DeliveryQueue::all() const {
  if (count_ > 0) (void)(*this)[count_ - 1];
  return built_;
}

DeliveryInputs delivery_inputs_at(const DeliveryQueue& q, size_t next, DeliveryInputs base) {
  const bool more = next < q.size();
  base.missing_frames = more ? q.size() - next : 0;
  base.current_missing = more && q.playhead_key && q[next].key == *q.playhead_key;
  base.pool_gave_up = more && q[next].given_up;
  return base;
}

}  // namespace vel
