#include "pool/schedule/launch_preparation.h"

#include <algorithm>
#include <limits>

#include "core/saturating.h"
#include "pool/runtime/pool_perf_records.h"

namespace vel {

uint64_t launch_limit(const LaunchLimitInputs& in) {
  uint64_t limit = 0;
  if (in.adaptive) {
    limit = std::min(in.scheduler_level, in.workers_per_batch);
  } else if (in.active == 1 && in.grant_holds) {
    limit = std::min<uint64_t>(2, in.workers_per_batch);
  } else {
    limit = in.measured_admission ? in.verdict_target : in.workers_per_batch;
  }
  return std::max<uint64_t>(limit, 1);
}

uint64_t launch_shares(uint64_t active, uint64_t queued_behind, uint64_t limit) {
  return std::max<uint64_t>(1, std::min(sat_add(sat_add(active, queued_behind), 1), limit));
}

uint32_t mfr_percent_for(uint64_t shares) {
  return static_cast<uint32_t>(std::max<uint64_t>(kMfrBudgetPercent / std::max<uint64_t>(shares, 1), 1));
}

MfrShare choose_mfr_share(uint64_t shares, std::span<const uint32_t> running_percents, uint32_t batch_percent,
                          uint64_t active) {
  MfrShare share;
  share.percent = mfr_percent_for(shares);
  uint64_t held = 0;
  for (uint32_t p : running_percents) held = sat_add(held, p);
  if (sat_add(held, share.percent) > kMfrBudgetPercent) {
    share.refused = true;
    return share;
  }
  share.measure_invalid = share.percent != batch_percent || active > 0;
  return share;
}

RangeCut cut_range_for_launch(const QueuedRange& range, const BatchTimeBase& time,
                              const std::function<bool(int64_t)>& served, uint64_t& budget) {
  RangeCut cut{range, 0, range.start > range.end};
  if (cut.empty) return cut;
  int64_t& start = cut.range.start;
  int64_t& end = cut.range.end;
  const auto drop_front = [&] {
    ++cut.frames_cut;
    if (start == end) {
      cut.empty = true;
      if (end < std::numeric_limits<int64_t>::max()) start = end + 1;
    } else {
      ++start;
    }
  };
  while (!cut.empty && budget > 0) {
    --budget;
    const bool unusable = !batch_frame_key(time, start) || (served && served(start));
    if (!unusable) break;
    drop_front();
  }
  while (!cut.empty && budget > 0) {
    --budget;
    if (batch_frame_key(time, end)) break;
    ++cut.frames_cut;
    if (start == end) {
      cut.empty = true;
      if (start > std::numeric_limits<int64_t>::min()) end = start - 1;
    } else {
      --end;
    }
  }
  return cut;
}

PreparedLaunch prepare_launch(std::deque<QueuedRange>& ranges, const LaunchInputs& in, uint64_t& budget,
                              uint64_t& expected) {
  PreparedLaunch out;
  if (ranges.empty()) return out;
  const QueuedRange original = ranges.front();
  ranges.pop_front();
  const RangeCut cut = cut_range_for_launch(original, in.time, in.served, budget);
  out.range = cut.range;
  if (cut.frames_cut > 0) {
    out.queue_record = pool_queue_record(original, cut.range, cut.frames_cut);
    if (!original.replay) expected = sat_sub(expected, cut.frames_cut);
  }
  // A range with nothing left to render would start a worker for nothing.
  if (cut.empty) {
    out.verdict = LaunchVerdict::Dropped;
    return out;
  }
  uint64_t shares = launch_shares(in.active, ranges.size(), in.limit);
  if (in.active == 0 && in.gate) shares = std::max<uint64_t>(in.gate(shares), 1);
  const MfrShare share = choose_mfr_share(shares, in.running_percents, in.batch_percent, in.active);
  out.mfr_percent = share.percent;
  if (share.refused) {
    ranges.push_front(cut.range);
    out.verdict = LaunchVerdict::Refused;
    return out;
  }
  out.measure_invalid = share.measure_invalid;
  out.verdict = LaunchVerdict::Launch;
  return out;
}

}  // namespace vel
