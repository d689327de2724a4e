// The work area of the pinned composition as frame indexes, and the IN/OUT
// requests the panel posts (strip mark drags and the b/i, n/o keys).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/handles.h"

namespace vel {

// First and last frame index, inclusive; a negative value is an unset end.
struct WorkAreaFrames {
  int64_t first = -1;
  int64_t last = -1;
  friend bool operator==(const WorkAreaFrames&, const WorkAreaFrames&) = default;
};

// round(t / frame_duration) without going through floating point; none when
// a scale or the frame duration is not positive.
std::optional<int64_t> time_to_frame(HostTime t, HostTime frame_duration);

// The frame holding time t: floor(t / frame_duration); none as above.
std::optional<int64_t> frame_at_time(HostTime t, HostTime frame_duration);

// The composition's frame count: round(duration / frame duration), at least
// 1 for a positive duration; none when either is unusable.
std::optional<int64_t> frame_count_of(HostTime duration, HostTime frame_duration);

// The work area from the host's start and duration: first = round(start /
// frame), last = first + round(duration / frame) − 1, both kept inside the
// composition's frames. Unset (both −1) when a value is unusable.
WorkAreaFrames work_area_from_host(HostTime start, HostTime duration, HostTime frame_duration, int64_t frame_count);

// The host's (start, duration) for a set work area, in the frame duration's
// scale; none when an end is unset or a value leaves 32 bits.
std::optional<std::pair<HostTime, HostTime>> work_area_to_host(const WorkAreaFrames& area, HostTime frame_duration);

// The frames a sweep covers: the work area clamped to the composition, or
// all frames when it is unset. Empty (first > last) for no frames.
WorkAreaFrames work_area_bounds(const WorkAreaFrames& area, int64_t frame_count);

// The frames of `bounds` that have a key: those whose time, the index times
// the frame duration's value, fits a key's signed 32-bit value (at the
// finest frame rates only the first 2^31 ticks of a composition do). Empty
// (first > last) when none does or the value is not positive.
WorkAreaFrames keyed_frames(const WorkAreaFrames& bounds, int32_t frame_value);

// Raw words posted by the panel: position words (bits 0..15 the position in
// thousandths of the strip, bits 16..63 a sequence number) and key counts.
struct WorkAreaSignals {
  uint64_t in_move = 0;
  uint64_t out_move = 0;
  uint64_t mark_in_requests = 0;
  uint64_t mark_out_requests = 0;
};

// What the controller last applied, so a request is applied once.
struct WorkAreaSnapshot {
  uint64_t in_move_seq = 0;
  uint64_t out_move_seq = 0;
  uint64_t mark_in_count = 0;
  uint64_t mark_out_count = 0;
};

// Takes the current words as applied without acting on them (a reset or a
// new composition must not replay older requests).
void snapshot_work_area_signals(WorkAreaSnapshot& snap, const WorkAreaSignals& sig);

// Frame index of a strip position in thousandths: floor(p × n / 1000),
// p clamped to 1000, the result to the last frame.
int64_t frame_at_strip_position(uint64_t thousandths, int64_t frame_count);

// One request for a mark: a mark moved on the strip (`word` its position
// word) or an IN/OUT key (`word` the key's count with this press, `mark_at`
// the frame the key marks).
enum class WorkAreaPost : uint8_t { InMove, OutMove, InKey, OutKey };
struct WorkAreaRequest {
  WorkAreaPost kind;
  uint64_t word = 0;
  int64_t mark_at = 0;
};

// The words as requests, in the order IN drag, OUT drag, IN key, OUT key,
// the keys at `mark_at`.
std::vector<WorkAreaRequest> requests_of_words(const WorkAreaSignals& sig, int64_t mark_at);

// Applies, in their order, the requests newer than the snapshot (a word the
// snapshot holds, or an older one, was applied or dropped already). Moving
// IN past OUT sends OUT to the last frame; moving OUT before IN sends IN to
// the first. Answers the new area when anything was requested, and moves
// the snapshot on to what it applied.
std::optional<WorkAreaFrames> apply_work_area_requests(const WorkAreaFrames& current, WorkAreaSnapshot& snap,
                                                       const std::vector<WorkAreaRequest>& requests,
                                                       int64_t frame_count);

// The words' requests newer than the snapshot, in the fixed order above.
std::optional<WorkAreaFrames> apply_work_area_requests(const WorkAreaFrames& current, WorkAreaSnapshot& snap,
                                                 const WorkAreaSignals& sig, int64_t mark_at,
                                                 int64_t frame_count);

// "workarea: IN <first> → OUT <last>".
std::string work_area_log_text(const WorkAreaFrames& area);

}  // namespace vel
