#include "preview/playing_frame.h"

namespace vel {

std::optional<int64_t> next_playing_frame(const PlaybackClock& clock, const CompFrameTiming& timing,
                                          int64_t work_first, int64_t work_last) {
  if (!clock.playing || !clock.shown_time || clock.shown_time->scale == 0) return std::nullopt;
  const std::optional<ClockGrid> grid = clock_grid(clock.shown_time->scale, timing);
  if (!grid) return std::nullopt;
  const auto [lo, hi] = playback_loop_bounds(work_first, work_last, grid->count);
  const int64_t from = clock.awaiting ? clock.awaiting->index : shown_frame_of(*clock.shown_time, *grid);
  if (from < lo || from >= hi) return lo;
  return from + 1;
}

}  // namespace vel
