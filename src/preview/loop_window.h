// The playhead's window over the loop: so many frames of the work area from
// the playhead onward, wrapping at its end to its start. The passes that
// keep something per frame of the window (the store's loads, the delivery
// queue's lacking frames) follow it as it moves: a playhead that steps on
// by one frame brings one frame in and takes one out, whatever the window's
// length. Pure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "preview/work_area.h"

namespace vel {

struct LoopWindow {
  WorkAreaFrames bounds;  // not empty
  int64_t start = 0;      // inside bounds
  int64_t length = 0;     // 1 .. the frames of bounds
  friend bool operator==(const LoopWindow&, const LoopWindow&) = default;
};

// The frame `offset` frames after the window's start, wrapping inside its
// bounds.
int64_t loop_window_frame(const LoopWindow& w, int64_t offset);

// How far into the window `frame` lies; none outside it.
std::optional<int64_t> loop_window_offset(const LoopWindow& w, int64_t frame);

// Frames first..last, inclusive, in order.
struct FrameRun {
  int64_t first = 0;
  int64_t last = -1;
  friend bool operator==(const FrameRun&, const FrameRun&) = default;
};

// At most two runs (a part of the window that wraps is two).
struct FrameRuns {
  std::array<FrameRun, 2> runs{};
  size_t count = 0;
  const FrameRun* begin() const { return runs.data(); }
  const FrameRun* end() const { return runs.data() + count; }
};

struct WindowMove {
  FrameRuns entered;  // in the new window only, in its order
  FrameRuns left;     // in the old window only
};

// What moving from `from` to `to` brings into the window and takes out of
// it. None when the bounds or the length differ, or when the two windows
// overlap too little (or at both ends) for that to be smaller than `to`:
// the caller then goes through `to` whole.
std::optional<WindowMove> loop_window_move(const LoopWindow& from, const LoopWindow& to);

}  // namespace vel
