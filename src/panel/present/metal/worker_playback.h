// Playback by the Metal present worker's own clock. While a Metal panel
// presents, the idle hook does not hand frames over one by one: it posts the
// ready frames around the playhead with the rate and the loop range, and the
// worker walks them itself at the frame boundaries. The playback clock's
// shown frame then follows what the worker reports it presented. Main
// thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "cache/frame_cache.h"
#include "panel/present/metal/present_job.h"
#include "panel/present/playback_clock.h"

namespace vel {

// What the main thread remembers of the worker's playback.
struct WorkerPlayback {
  bool active = false;        // the worker was last told to play
  bool docked = false;        // it plays in the docked panel, else in the floating one
  // Its panel went out of sight and the worker was stopped there: the frame
  // it last reported is still the one on that panel's screen, which
  // playback takes up from when the panel is back.
  bool held = false;
  uint64_t reports_seen = 0;  // the worker's report count last followed
  PresentPost last;           // the last post, for the one that ends playback
};

// (report count, frame index), as read_presenter_result answers it.
using PresenterReport = std::optional<std::pair<uint64_t, int64_t>>;

// Moves the clock's shown frame to the index the worker reported since the
// last call, while it plays or is held; true when it moved.
bool follow_worker_report(PlaybackClock& clock, WorkerPlayback& playback, const CompFrameTiming& timing,
                          const PresenterReport& report);

// Moves the clock's shown frame to `index`, the frame whose picture the
// worker put on screen; true when it moved.
bool show_worker_picture(PlaybackClock& clock, const CompFrameTiming& timing, int64_t index);

// One tick of worker playback: follows the report, then answers the post
// that keeps the worker playing from the shown frame (the first one seeks
// there, and ends a hold). None while the clock cannot run.
std::optional<PresentPost> worker_playback_step(PlaybackClock& clock, WorkerPlayback& playback, FrameCache& cache,
                                                const ClockInputs& in, const PresenterReport& report);

// The post that stops the worker's playback (the frame on screen stays);
// none when the worker is not playing.
std::optional<PresentPost> end_worker_playback(WorkerPlayback& playback);

}  // namespace vel
