// The cache's focus follows the playhead, not the host's current time.
// Around it the frames the panel is about to need are asked to be unpacked.
#pragma once

#include <cstdint>
#include <optional>

#include "preview/playhead.h"

namespace vel {

struct PreviewState;

// Where the panel stands this tick, which the playhead follows: the frame
// asked for (a click, a scrub, a pause), the frame on screen and the one
// handed over, as frame indexes of the pinned composition, and whether the
// shown panel plays.
PanelPosition panel_position(PreviewState& state);

// How many frames ahead of the focus are kept unpacked at `fps`: two
// seconds' worth, but never as far as frames are packed (which would undo
// the work) nor more than the loop holds.
int64_t unpack_ahead_frames(double fps, int64_t loop_frames);

// Moves the cache's focus to the playhead, asks for its frame (the panel
// waits for it unless it is on screen) and then for the frames ahead of it
// in loop order over the work area, nearest first, so that playback finds
// them raw. One call per idle tick, after the finished unpacks are collected.
void request_panel_frames(PreviewState& state);

}  // namespace vel
