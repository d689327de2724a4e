#include "panel/worker_playback.h"

#include <algorithm>

#include "cache/frame_cache_ops.h"

namespace vel {

bool follow_worker_report(PlaybackClock& clock, WorkerPlayback& playback, const CompFrameTiming& timing,
                          const PresenterReport& report) {
  if (!playback.active || !report || report->first <= playback.reports_seen || !clock.shown_time) return false;
  const uint64_t reports = report->first - playback.reports_seen;
  playback.reports_seen = report->first;
  const auto grid = clock_grid(clock.shown_time->scale, timing);
  const int64_t index = report->second;
  if (!grid || index < 0 || index >= grid->count) return false;
  const __int128 value = static_cast<__int128>(index) * grid->fd;
  if (value > INT32_MAX) return false;
  const FrameKey shown{static_cast<int32_t>(value), grid->scale};
  if (shown == *clock.shown_time) return false;
  // Each report is at most one frame the worker put on screen: the frames
  // it went past beyond the reports were stepped over (it woke late, or they
  // were not ready), and count as missed.
  if (playback.last.range) {
    const auto [lo, hi] = *playback.last.range;
    const int64_t from = shown_frame_of(*clock.shown_time, *grid);
    if (lo <= from && from <= hi && lo <= index && index <= hi) {
      const int64_t span = hi - lo + 1;
      const int64_t ahead = ((index - from) % span + span) % span;
      if (static_cast<uint64_t>(ahead) > reports) {
        const int64_t last_shown = lo + (from - lo + static_cast<int64_t>(reports) - 1) % span;
        note_missed_frames(clock, last_shown, index, lo, hi, index);
      }
    }
  }
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
  post.frames = neighbour_frames(cache, shown, grid->fd, grid->scale, lo, hi, clock_look_ahead(*grid, in));
  // The worker steps to the next frame of the loop; when that one is not
  // among the frames it holds, the picture stops there.
  if (playback.active && lo <= shown && shown <= hi) {
    const int64_t next = shown < hi ? shown + 1 : lo;
    const bool held = post.frames && std::any_of(post.frames->begin(), post.frames->end(),
                                                 [&](const NeighbourFrame& f) { return f.frame == next; });
    if (!held && next != shown) note_missed_frames(clock, shown, next, lo, hi, std::nullopt);
  }
  // Entering playback, the worker starts from the frame on screen; the
  // report of that seek moves nothing, so only the reports after it count
  // as frames put on screen.
  if (!playback.active) {
    post.seek = shown;
    playback.reports_seen = (report ? report->first : 0) + 1;
  }
  playback.active = true;
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
  return post;
}

}  // namespace vel
