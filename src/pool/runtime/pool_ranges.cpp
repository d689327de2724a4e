#include <algorithm>
#include <bit>
#include <cmath>

#include "pool/runtime/pool_runtime_ops.h"

namespace vel {

namespace {

double ms_since(Instant from, Instant now) { return now >= from ? static_cast<double>(now - from) / 1e6 : 0.0; }

// A worker that exited still holds its range until the supervision has
// examined it (its last frames may still be on their way, and the rest go
// to its replay), and a frame whose file a decoder reads now is still the
// pool's. Rendered elsewhere meanwhile, they would be made twice.
void append_unexamined_exits(const PoolPlan& plan, std::vector<FrameRange>& out) {
  for (size_t index : plan.exits_to_examine)
    if (index < plan.jobs.size()) out.push_back({plan.jobs[index].first_frame, plan.jobs[index].last_frame});
  for (int64_t frame : plan.ledger.handed) out.push_back({frame, frame});
}

bool first_delivery_given_up(const PoolPlan& plan, Instant now) {
  if (plan.ledger.delivered != 0 || !plan.frames_seen.empty()) return false;
  uint64_t secs = now >= plan.started_at ? (now - plan.started_at) / kNsPerSec : 0;
  return secs >= plan.first_delivery_limit_secs;
}

// The asynchronous renderer's estimate for `n` frames at downsample `d`.
std::optional<double> native_estimate(const AsyncTimingTables& tables, uint64_t d, int64_t start, int64_t end) {
  if (end < start || d == 0 || d > 16 || (d & (d - 1)) != 0) return std::nullopt;
  const AsyncTimingTable& t = tables[static_cast<size_t>(std::countr_zero(d))];
  if (t.count < 3) return std::nullopt;
  double first = t.mean_first_ms;
  double steady = first;
  const auto& ts = t.completions_ms;
  if (ts.size() >= 3 && ts.back() - ts.front() >= 10.0) steady = (ts.back() - ts.front()) / static_cast<double>(ts.size() - 1);
  double n = static_cast<double>(range_frame_count(start, end));
  return first + steady * (n - 1.0);
}

bool worth_releasing(const PoolJob& job, std::optional<double> native, std::optional<double> predicted_secs, Instant now) {
  double waited = ms_since(job.launched_ns, now);
  double expected = 3000.0;
  if (predicted_secs && std::isfinite(*predicted_secs) && *predicted_secs >= 0.0) expected = *predicted_secs * 1000.0;
  if (!job.first_frame_ms && native && std::isfinite(*native)) {
    if (std::max(expected - waited, 0.0) * 0.85 > *native) return true;
  }
  double progress = waited - job.first_frame_ms.value_or(0.0);
  double budget = job.per_frame_ms ? 2.0 * *job.per_frame_ms : expected * 1.5;
  if (native) budget = std::min(budget, *native * 1.5);
  budget = std::max(budget, 250.0);
  return progress >= budget;
}

bool read_first_less(const DiscoveredFile& a, const DiscoveredFile& b, int64_t playhead) {
  bool a_ahead = a.frame >= playhead, b_ahead = b.frame >= playhead;
  if (a_ahead != b_ahead) return a_ahead;
  return a.frame < b.frame;
}

}  // namespace

std::vector<FrameRange> pool_pending_ranges(const PoolRuntime& rt, Instant now) {
  std::vector<FrameRange> out;
  if (!rt.plan || first_delivery_given_up(*rt.plan, now)) return out;
  for (const auto& job : rt.plan->jobs)
    if (!job.finished) out.push_back({job.first_frame, job.last_frame});
  append_unexamined_exits(*rt.plan, out);
  for (const auto& r : rt.plan->queued_ranges) out.push_back({r.start, r.end});
  return out;
}

bool pool_batch_given_up(const PoolRuntime& rt, Instant now) { return rt.plan && first_delivery_given_up(*rt.plan, now); }

std::vector<FrameRange> pool_given_up_ranges(const PoolRuntime& rt, Instant now) {
  std::vector<FrameRange> out;
  if (!rt.plan) return out;
  // Nothing came in time: the whole batch is given up, its workers may
  // still run (a silent batch is killed much later).
  if (first_delivery_given_up(*rt.plan, now)) {
    for (const auto& job : rt.plan->jobs) out.push_back({job.first_frame, job.last_frame});
    for (const auto& r : rt.plan->queued_ranges) out.push_back({r.start, r.end});
    return out;
  }
  if (rt.comp_is_3d) return out;
  for (const auto& job : rt.plan->jobs)
    if (job.released && !job.finished) out.push_back({job.first_frame, job.last_frame});
  return out;
}

std::vector<int64_t> pool_frames_coming(const PoolRuntime& rt, Instant now) {
  std::vector<int64_t> out;
  if (!rt.plan) return out;
  for (const auto& job : rt.plan->jobs) {
    if (job.finished || job.delivered == 0 || !job.last_frame_at_ns) continue;
    const double gap = std::max(2.0 * job.per_frame_ms.value_or(0.0), 250.0);
    if (ms_since(*job.last_frame_at_ns, now) > gap) continue;
    const uint64_t span = range_frame_count(job.first_frame, job.last_frame);
    if (job.delivered >= span) continue;
    out.push_back(job.first_frame + static_cast<int64_t>(job.delivered));
  }
  return out;
}

std::vector<FrameRange> release_async_2d_reservations(PoolRuntime& rt, uint64_t downsample,
                                                      const AsyncTimingTables& tables, Instant now) {
  std::vector<FrameRange> out;
  if (!rt.plan || first_delivery_given_up(*rt.plan, now)) return out;
  if (!rt.comp_is_3d) {
    uint64_t d = std::max(rt.file_downsample, downsample);
    for (auto& job : rt.plan->jobs) {
      if (job.finished || job.released) continue;
      auto native = native_estimate(tables, d, job.first_frame, job.last_frame);
      if (worth_releasing(job, native, rt.plan->predicted_secs, now)) job.released = true;
    }
  }
  for (const auto& job : rt.plan->jobs) {
    if (job.finished || (!rt.comp_is_3d && job.released)) continue;
    out.push_back({job.first_frame, job.last_frame});
  }
  append_unexamined_exits(*rt.plan, out);
  for (const auto& r : rt.plan->queued_ranges) out.push_back({r.start, r.end});
  return out;
}

void sort_read_first(std::deque<DiscoveredFile>& entries, int64_t playhead) {
  auto less = [playhead](const DiscoveredFile& a, const DiscoveredFile& b) { return read_first_less(a, b, playhead); };
  if (entries.size() < 21) {
    for (size_t i = 1; i < entries.size(); ++i) {
      DiscoveredFile item = std::move(entries[i]);
      size_t j = i;
      for (; j > 0 && less(item, entries[j - 1]); --j) entries[j] = std::move(entries[j - 1]);
      entries[j] = std::move(item);
    }
    return;
  }
  std::vector<DiscoveredFile> flat(std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()));
  std::stable_sort(flat.begin(), flat.end(), less);
  entries.assign(std::make_move_iterator(flat.begin()), std::make_move_iterator(flat.end()));
}

void reorder_queued_ranges(PoolRuntime& rt, int64_t playhead) {
  if (!rt.plan || rt.last_reorder_playhead == playhead) return;
  sort_read_first(rt.plan->pending_frames, playhead);
  rt.last_reorder_playhead = playhead;
}

std::optional<double> longest_remaining_secs(const std::vector<PoolJob>& jobs, Instant now) {
  double longest = 0.0;
  for (const auto& job : jobs) {
    if (job.finished) continue;
    if (job.delivered < 8) return std::nullopt;
    double total = static_cast<double>(range_frame_count(job.first_frame, job.last_frame));
    double left = std::max(total - static_cast<double>(job.delivered), 0.0);
    double per_frame = ms_since(job.launched_ns, now) / 1000.0 / static_cast<double>(job.delivered);
    longest = std::max(longest, left * per_frame);
  }
  return longest;
}

}  // namespace vel
