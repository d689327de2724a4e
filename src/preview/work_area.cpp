#include "preview/work_area.h"

#include <algorithm>
#include <limits>

namespace vel {

namespace {
constexpr uint64_t kSeqShift = 16;
constexpr uint64_t kPosMask = 0xFFFF;

// round(a / b) for b > 0 and any sign of a, halves away from zero, in 128 bits.
__int128 div_round(__int128 a, __int128 b) {
  return a >= 0 ? (a + b / 2) / b : -((-a + b / 2) / b);
}
}  // namespace

std::optional<int64_t> time_to_frame(HostTime t, HostTime fd) {
  if (t.scale == 0 || fd.scale == 0 || fd.value <= 0) return std::nullopt;
  // (t.value / t.scale) / (fd.value / fd.scale) = t.value × fd.scale / (t.scale × fd.value)
  const __int128 num = static_cast<__int128>(t.value) * fd.scale;
  const __int128 den = static_cast<__int128>(t.scale) * fd.value;
  return static_cast<int64_t>(div_round(num, den));
}

std::optional<int64_t> frame_at_time(HostTime t, HostTime fd) {
  if (t.scale == 0 || fd.scale == 0 || fd.value <= 0) return std::nullopt;
  const __int128 num = static_cast<__int128>(t.value) * fd.scale;
  const __int128 den = static_cast<__int128>(t.scale) * fd.value;
  __int128 q = num / den;
  if (num % den != 0 && num < 0) --q;
  return static_cast<int64_t>(q);
}

std::optional<int64_t> frame_count_of(HostTime duration, HostTime fd) {
  auto n = time_to_frame(duration, fd);
  if (!n || duration.value <= 0) return std::nullopt;
  return std::max<int64_t>(*n, 1);
}

WorkAreaFrames work_area_from_host(HostTime start, HostTime duration, HostTime fd, int64_t frame_count) {
  auto first = time_to_frame(start, fd);
  auto len = time_to_frame(duration, fd);
  if (!first || !len || *len <= 0 || frame_count <= 0) return {};
  const int64_t lo = std::clamp<int64_t>(*first, 0, frame_count - 1);
  // Both can be near the 64-bit limit for a host's extreme frame rate.
  const __int128 end = static_cast<__int128>(*first) + *len - 1;
  const int64_t hi = end >= frame_count - 1 ? frame_count - 1 : std::max<int64_t>(lo, static_cast<int64_t>(end));
  return {lo, hi};
}

std::optional<std::pair<HostTime, HostTime>> work_area_to_host(const WorkAreaFrames& area, HostTime fd) {
  if (area.first < 0 || area.last < area.first || fd.scale == 0 || fd.value <= 0) return std::nullopt;
  const __int128 start = static_cast<__int128>(area.first) * fd.value;
  const __int128 dur = static_cast<__int128>(area.last - area.first + 1) * fd.value;
  constexpr __int128 kMax = std::numeric_limits<int32_t>::max();
  if (start > kMax || dur > kMax) return std::nullopt;
  return std::make_pair(HostTime{static_cast<int32_t>(start), fd.scale}, HostTime{static_cast<int32_t>(dur), fd.scale});
}

WorkAreaFrames work_area_bounds(const WorkAreaFrames& area, int64_t frame_count) {
  if (frame_count <= 0) return {0, -1};
  const int64_t last = frame_count - 1;
  const int64_t lo = area.first < 0 ? 0 : std::min(area.first, last);
  const int64_t hi = area.last < 0 ? last : std::max(lo, std::min(area.last, last));
  return {lo, hi};
}

WorkAreaFrames keyed_frames(const WorkAreaFrames& bounds, int32_t frame_value) {
  if (frame_value <= 0 || bounds.first < 0) return {0, -1};
  const int64_t last_keyed = std::numeric_limits<int32_t>::max() / frame_value;
  return {bounds.first, std::min(bounds.last, last_keyed)};
}

void snapshot_work_area_signals(WorkAreaSnapshot& snap, const WorkAreaSignals& sig) {
  snap.in_move_seq = sig.in_move >> kSeqShift;
  snap.out_move_seq = sig.out_move >> kSeqShift;
  snap.mark_in_count = sig.mark_in_requests;
  snap.mark_out_count = sig.mark_out_requests;
}

int64_t frame_at_strip_position(uint64_t thousandths, int64_t frame_count) {
  if (frame_count <= 0) return 0;
  const uint64_t p = std::min<uint64_t>(thousandths, 1000);
  const int64_t f = static_cast<int64_t>(static_cast<__int128>(p) * frame_count / 1000);
  return std::min(f, frame_count - 1);
}

std::vector<WorkAreaRequest> requests_of_words(const WorkAreaSignals& sig, int64_t mark_at) {
  return {{WorkAreaPost::InMove, sig.in_move, 0},
          {WorkAreaPost::OutMove, sig.out_move, 0},
          {WorkAreaPost::InKey, sig.mark_in_requests, mark_at},
          {WorkAreaPost::OutKey, sig.mark_out_requests, mark_at}};
}

namespace {

// The snapshot's part for a request's kind, and the request's value to
// compare with it: a sequence number for a move, a count for a key.
uint64_t& seen_of(WorkAreaSnapshot& snap, WorkAreaPost kind) {
  switch (kind) {
    case WorkAreaPost::InMove: return snap.in_move_seq;
    case WorkAreaPost::OutMove: return snap.out_move_seq;
    case WorkAreaPost::InKey: return snap.mark_in_count;
    case WorkAreaPost::OutKey: break;
  }
  return snap.mark_out_count;
}

uint64_t value_of(const WorkAreaRequest& r) {
  return r.kind == WorkAreaPost::InMove || r.kind == WorkAreaPost::OutMove ? r.word >> kSeqShift : r.word;
}

}  // namespace

std::optional<WorkAreaFrames> apply_work_area_requests(const WorkAreaFrames& current, WorkAreaSnapshot& snap,
                                                       const std::vector<WorkAreaRequest>& requests,
                                                       int64_t frame_count) {
  const int64_t last_frame = frame_count - 1;
  WorkAreaFrames area = work_area_bounds(current, frame_count);
  bool changed = false;
  auto set_in = [&](int64_t f) {
    area.first = std::clamp<int64_t>(f, 0, last_frame);
    if (area.last < area.first) area.last = last_frame;
    changed = true;
  };
  auto set_out = [&](int64_t f) {
    area.last = std::clamp<int64_t>(f, 0, last_frame);
    if (area.first > area.last) area.first = 0;
    changed = true;
  };
  for (const WorkAreaRequest& r : requests) {
    uint64_t& seen = seen_of(snap, r.kind);
    const uint64_t value = value_of(r);
    // Words only grow: one not past the snapshot is no new request.
    if (value <= seen) continue;
    seen = value;
    if (frame_count <= 0) continue;
    switch (r.kind) {
      case WorkAreaPost::InMove: set_in(frame_at_strip_position(r.word & kPosMask, frame_count)); break;
      case WorkAreaPost::OutMove: set_out(frame_at_strip_position(r.word & kPosMask, frame_count)); break;
      case WorkAreaPost::InKey: set_in(r.mark_at); break;
      case WorkAreaPost::OutKey: set_out(r.mark_at); break;
    }
  }
  if (!changed) return std::nullopt;
  return area;
}

std::optional<WorkAreaFrames> apply_work_area_requests(const WorkAreaFrames& current, WorkAreaSnapshot& snap,
                                                 const WorkAreaSignals& sig, int64_t mark_at,
                                                 int64_t frame_count) {
  return apply_work_area_requests(current, snap, requests_of_words(sig, mark_at), frame_count);
}

std::string work_area_log_text(const WorkAreaFrames& area) {
  return "workarea: IN " + std::to_string(area.first) + " \xE2\x86\x92 OUT " + std::to_string(area.last);
}

}  // namespace vel
