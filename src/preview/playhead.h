// The preview's one playhead: the frame every step of the idle tick
// follows (the work-area keys, the start of playback, the cache's focus, the
// disk store's loads, the delivery queue and the pool's planning). Playback
// in the panel runs on its own clock and leaves the host's current time
// where it was, so the host's time is only where the playhead starts from
// while the panel has nothing of its own. Pure.
#pragma once

#include <cstdint>
#include <optional>

#include "preview/work_area.h"

namespace vel {

// What the panel says of the position this tick, as frame indexes of the
// pinned composition.
struct PanelPosition {
  // The frame a click, a scrub, a pause or a reset asked for, until
  // playback starts from it.
  std::optional<int64_t> asked;
  std::optional<int64_t> shown;     // the frame on screen
  std::optional<int64_t> awaiting;  // handed to the panel, not confirmed yet
  // The frame whose picture is on the screen, where the presenter knows it
  // apart from `shown`: a GPU draw reaches the screen after the clock has
  // moved on to it, by as many draws as are in flight.
  std::optional<int64_t> pictured;
  bool playing = false;             // the panel is shown and its clock plays
  friend bool operator==(const PanelPosition&, const PanelPosition&) = default;
};

struct Playhead {
  // The playhead: while playing, the frame the playback needs next in loop
  // order over the work area (after the one handed over and not confirmed,
  // else after the one on screen; a frame outside the loop is followed by
  // its first); else the frame asked for, the one on screen, or the host's
  // current frame.
  int64_t frame = 0;
  std::optional<int64_t> on_screen;  // the frame on screen, when the panel shows one
  bool playing = false;
  friend bool operator==(const Playhead&, const Playhead&) = default;
};

// The playhead over `frame_count` frames (at least one) with the work area
// `work_area` (negative ends unset), from the panel's position and the
// host's current frame.
Playhead find_playhead(const PanelPosition& panel, int64_t host_frame, const WorkAreaFrames& work_area,
                       int64_t frame_count);

// Where a work-area key puts its mark: the frame on screen while playing
// (the user presses the key at what they see), else the playhead.
int64_t mark_frame(const Playhead& playhead);

// The first frame of a walk over the loop `bounds` in loop order from
// `frame`: the frame itself inside the loop, else the loop's first.
int64_t loop_entry(int64_t frame, const WorkAreaFrames& bounds);

}  // namespace vel
