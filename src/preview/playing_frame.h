// The frame a playing panel needs next. Playback in the panel runs on its
// own clock and leaves the host's current time where it was, so while it
// plays the frame under the playhead is the clock's, not the host's.
#pragma once

#include <cstdint>
#include <optional>

#include "host/frame_timing.h"
#include "panel/present/playback_clock.h"

namespace vel {

// The frame after the one on screen (or after the one handed to the panel
// and not confirmed yet), in loop order over the work area `work_first`..
// `work_last` (negative: unset end); a frame outside the loop is followed
// by the loop's first. None while the clock does not run: paused, held or
// nothing on screen yet.
std::optional<int64_t> next_playing_frame(const PlaybackClock& clock, const CompFrameTiming& timing,
                                          int64_t work_first, int64_t work_last);

}  // namespace vel
