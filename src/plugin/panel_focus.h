// The cache's focus follows the panel, not the host's current time: the
// frame on screen during playback, the clicked frame when paused. Around it
// the frames the panel is about to need are asked to be unpacked.
#pragma once

#include <cstdint>
#include <optional>

namespace vel {

struct PreviewState;

// The frame the panel shows or holds: the held (clicked) frame, else the
// frame on screen, else the host's current frame; none without a timed
// composition.
std::optional<int64_t> panel_focus_frame(const PreviewState& state);

// How many frames ahead of the focus are kept unpacked at `fps`: two
// seconds' worth, but never as far as frames are packed (which would undo
// the work) nor more than the loop holds.
int64_t unpack_ahead_frames(double fps, int64_t loop_frames);

// Moves the cache's focus to the panel's frame, asks for that frame (the
// panel waits for it unless it is on screen) and then for the frames ahead
// of it within the work area, nearest first, so that playback finds them
// raw. One call per idle tick, after the finished unpacks are collected.
void request_panel_frames(PreviewState& state);

}  // namespace vel
