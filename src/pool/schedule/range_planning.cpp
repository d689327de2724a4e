#include "pool/schedule/range_planning.h"

#include <algorithm>
#include <limits>
#include <set>
#include <utility>

#include "core/saturating.h"

namespace vel {
namespace {

constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();

// Frames strictly between two ranges in start order; 0 when they touch,
// negative when they overlap.
int64_t gap_between(const FrameRange& previous, const FrameRange& next) {
  return clamp_i64(__int128{next.start} - previous.end - 1);
}

uint64_t range_length(const FrameRange& r) {
  const uint64_t span = static_cast<uint64_t>(r.end) - static_cast<uint64_t>(r.start);
  return span == UINT64_MAX ? UINT64_MAX : span + 1;
}

int playhead_class(const FrameRange& r, int64_t reference) {
  if (r.start <= reference && reference <= r.end) return 0;
  return r.start > reference ? 1 : 2;
}

void sort_by_start(FramePlan& plan) {
  std::stable_sort(plan.begin(), plan.end(), [](const FrameRange& a, const FrameRange& b) { return a.start < b.start; });
}

}  // namespace

void sort_playhead_order(FramePlan& plan, int64_t reference) {
  std::stable_sort(plan.begin(), plan.end(), [reference](const FrameRange& a, const FrameRange& b) {
    const int ca = playhead_class(a, reference);
    const int cb = playhead_class(b, reference);
    return ca != cb ? ca < cb : a.start < b.start;
  });
}

FramePlan build_runs(std::span<const int64_t> frames, uint64_t wanted, uint64_t min_run) {
  FramePlan plan;
  if (frames.empty() || wanted == 0) return plan;
  for (int64_t f : frames) {
    if (!plan.empty() && plan.back().end != kI64Max && f == plan.back().end + 1) {
      plan.back().end = f;
    } else if (plan.empty() || f > plan.back().end) {
      plan.push_back({f, f});
    }
  }
  const uint64_t floor_len = std::max<uint64_t>(min_run, 1);
  const uint64_t threshold = floor_len >= (uint64_t{1} << 62) ? uint64_t(kI64Max) : 2 * floor_len;
  while (plan.size() < wanted) {
    size_t longest = 0;
    for (size_t i = 1; i < plan.size(); ++i) {
      if (range_length(plan[i]) >= range_length(plan[longest])) longest = i;
    }
    const FrameRange r = plan[longest];
    if (range_length(r) < threshold) break;
    const int64_t mid = r.start + static_cast<int64_t>((static_cast<uint64_t>(r.end) - static_cast<uint64_t>(r.start)) / 2);
    plan[longest] = {r.start, mid};
    plan.insert(plan.begin() + static_cast<ptrdiff_t>(longest) + 1, FrameRange{mid + 1, r.end});
  }
  return plan;
}

FramePlan plan_batches(std::span<const int64_t> frames, uint64_t wanted, int64_t reference, uint64_t min_run) {
  FramePlan plan = build_runs(frames, wanted, std::max<uint64_t>(min_run, 4));
  sort_playhead_order(plan, reference);
  return plan;
}

FramePlan plan_batches_read_first(std::span<const int64_t> frames, uint64_t wanted, int64_t playhead,
                                  uint64_t min_run) {
  if (wanted == 0) return {};
  const auto split = std::lower_bound(frames.begin(), frames.end(), playhead);
  const std::span<const int64_t> behind(frames.begin(), split);
  const std::span<const int64_t> ahead(split, frames.end());
  const uint64_t floor_len = std::max<uint64_t>(min_run, 4);

  FramePlan plan = build_runs(ahead, wanted, floor_len);
  sort_playhead_order(plan, playhead);
  plan = merge_batches_to_count(std::move(plan), 0, wanted, playhead);

  FramePlan back = build_runs(behind, 1, floor_len);
  sort_playhead_order(back, playhead);
  back = merge_batches_to_count(std::move(back), 0, 1, playhead);
  plan.insert(plan.end(), back.begin(), back.end());
  return plan;
}

FramePlan merge_batches_to_count(FramePlan plan, int64_t max_gap, uint64_t wanted, int64_t reference) {
  const uint64_t limit = std::max<uint64_t>(wanted, 1);
  if (plan.size() <= limit) return plan;
  sort_by_start(plan);
  const int64_t bridgeable = std::max<int64_t>(max_gap, 0);

  // Ranges stay at their start-order index; a merge keeps the left one, so
  // (gap, index) ordering finds the first smallest gap in start order.
  const size_t n = plan.size();
  constexpr size_t kNone = SIZE_MAX;
  std::vector<size_t> next(n), prev(n);
  std::vector<int64_t> gap(n, 0);
  std::set<std::pair<int64_t, size_t>> gaps;
  for (size_t i = 0; i < n; ++i) {
    next[i] = i + 1 < n ? i + 1 : kNone;
    prev[i] = i > 0 ? i - 1 : kNone;
    if (next[i] != kNone) {
      gap[i] = gap_between(plan[i], plan[i + 1]);
      gaps.emplace(gap[i], i);
    }
  }
  size_t alive = n;
  while (alive > limit && !gaps.empty() && gaps.begin()->first <= bridgeable) {
    const size_t i = gaps.begin()->second;
    const size_t j = next[i];
    gaps.erase(gaps.begin());
    if (next[j] != kNone) gaps.erase({gap[j], j});
    plan[i].end = std::max(plan[i].end, plan[j].end);
    next[i] = next[j];
    if (next[i] != kNone) {
      prev[next[i]] = i;
      gap[i] = gap_between(plan[i], plan[next[i]]);
      gaps.emplace(gap[i], i);
    }
    next[j] = kNone;
    prev[j] = kNone;
    --alive;
  }

  FramePlan merged;
  merged.reserve(alive);
  for (size_t i = 0; i != kNone; i = next[i]) merged.push_back(plan[i]);
  sort_playhead_order(merged, reference);
  return merged;
}

uint64_t count_ranges_in_loop_window(std::span<const FrameRange> plan, int64_t frame, int64_t loop_first,
                                     int64_t loop_last, int64_t window) {
  if (window < 1 || loop_last < loop_first || plan.empty()) return 0;
  using I128 = __int128;
  const I128 s = loop_first;
  const I128 e = loop_last;
  const I128 length = e - s + 1;
  I128 offset = (I128{frame} - s) % length;
  if (offset < 0) offset += length;
  const I128 p = s + offset;
  const I128 w = p + std::min<I128>(length, window) - 1;

  auto meets = [](I128 a, I128 b, I128 lo, I128 hi) { return a <= hi && lo <= b; };
  uint64_t count = 0;
  for (const FrameRange& r : plan) {
    const I128 a = std::max<I128>(r.start, s);
    const I128 b = std::min<I128>(r.end, e);
    if (a > b) continue;
    const bool hit = w <= e ? meets(a, b, p, w) : (meets(a, b, p, e) || meets(a, b, s, s + (w - e) - 1));
    count += hit ? 1 : 0;
  }
  return count;
}

std::vector<FrameRange> split_range_at_quantiles(int64_t first, int64_t last, std::span<const int64_t> frames,
                                                 uint64_t wanted) {
  const uint64_t m = frames.size();
  const uint64_t pieces = std::min(std::max<uint64_t>(m, 1), std::max<uint64_t>(wanted, 1));
  if (pieces < 2) return {{first, last}};
  std::vector<FrameRange> out;
  out.reserve(pieces);
  int64_t start = first;
  for (uint64_t k = 1; k < pieces; ++k) {
    const auto index = static_cast<size_t>(static_cast<unsigned __int128>(k) * m / pieces);
    const int64_t b = frames[index];
    if (b <= start || b > last) return {{first, last}};
    out.push_back({start, b - 1});
    start = b;
  }
  out.push_back({start, last});
  return out;
}

void split_queued_ranges(std::deque<QueuedRange>& queue, uint64_t target, std::span<const QueuedRangeCosts> costs) {
  if (target <= costs.size()) return;
  uint64_t budget = target - costs.size();
  std::deque<QueuedRange> rebuilt;
  for (uint64_t position = 0; position < queue.size(); ++position) {
    const QueuedRange& range = queue[position];
    std::span<const int64_t> points;
    for (const QueuedRangeCosts& c : costs) {
      if (c.queue_position == position) {
        points = c.frames;
        break;
      }
    }
    const uint64_t len = points.size();
    const uint64_t pieces = std::min(std::max<uint64_t>(len, 1), std::max<uint64_t>(std::min(len, sat_add(budget, 1)), 1));
    const std::vector<FrameRange> parts = split_range_at_quantiles(range.start, range.end, points, pieces);
    for (const FrameRange& part : parts) rebuilt.push_back({part.start, part.end, range.replay});
    const uint64_t used = parts.size() - 1;
    budget = budget > used ? budget - used : 0;
  }
  queue = std::move(rebuilt);
}

}  // namespace vel
