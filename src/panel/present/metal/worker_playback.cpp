#include "panel/present/metal/worker_playback.h"

#include <algorithm>
#include <chrono>

#include "cache/frame_cache_ops.h"

namespace vel {

bool follow_worker_report(PlaybackClock& clock, WorkerPlayback& playback, const CompFrameTiming& timing,
                          const PresenterReport& report) {
  // A count of 0 is a worker that has presented nothing yet (a panel built
  // anew), not a frame it reports.
  if (!(playback.active || playback.held) || !report || report->first == 0 || report->first == playback.reports_seen ||
      !clock.shown_time) {
    return false;
  }
  playback.reports_seen = report->first;
  return show_worker_picture(clock, timing, report->second);
}

bool show_worker_picture(PlaybackClock& clock, const CompFrameTiming& timing, int64_t index) {
  if (!clock.shown_time) return false;
  const auto grid = clock_grid(clock.shown_time->scale, timing);
  if (!grid || index < 0 || index >= grid->count) return false;
  const __int128 value = static_cast<__int128>(index) * grid->fd;
  if (value > INT32_MAX) return false;
  const FrameKey shown{static_cast<int32_t>(value), grid->scale};
  if (shown == *clock.shown_time) return false;
  clock.shown_time = shown;
  return true;
}

std::optional<PresentPost> worker_playback_step(PlaybackClock& clock, WorkerPlayback& playback, FrameCache& cache,
                                                const ClockInputs& in, const PresenterReport& report) {
  if (!clock.shown_time) return std::nullopt;
  const auto grid = clock_grid(clock.shown_time->scale, in.timing);
  if (!grid) return std::nullopt;
  (void)follow_worker_report(clock, playback, in.timing, report);
  // The main thread's own stepping stays out of the way; when it takes over
  // again it starts a new time base.
  clock.awaiting.reset();
  clock.anchor_ns.reset();

  const int64_t shown = shown_frame_of(*clock.shown_time, *grid);
  const auto [lo, hi] = playback_loop_bounds(in.work_first, in.work_last, grid->count);
  PresentPost post;
  post.worker_play = true;
  post.count = grid->count;
  post.range = std::make_pair(lo, hi);
  post.fps = static_cast<double>(grid->scale) / static_cast<double>(grid->fd);
  // From a frame outside the loop playback enters it at its first frame.
  const int64_t entry = shown >= lo && shown <= hi ? shown : lo;
  post.frames = neighbour_frames(cache, entry, grid->fd, grid->scale, lo, hi, clock_look_ahead(*grid, in));
  // The frames the worker lets fall due without showing them (not among
  // those it holds, or stepped over) it counts itself.
  // Entering playback, the worker starts from the frame on screen.
  if (!playback.active) post.seek = shown, post.seek_at = std::chrono::steady_clock::now();
  playback.active = true;
  playback.held = false;
  playback.last = post;
  playback.last.seek.reset();
  return post;
}

std::optional<PresentPost> end_worker_playback(WorkerPlayback& playback) {
  if (!playback.active) return std::nullopt;
  playback.active = false;
  PresentPost post = std::move(playback.last);
  playback.last = PresentPost{};
  post.worker_play = false;
  post.stop_at = std::chrono::steady_clock::now();
  return post;
}

}  // namespace vel
