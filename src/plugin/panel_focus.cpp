#include "plugin/panel_focus.h"

#include <algorithm>
#include <cmath>

#include "cache/frame_cache_ops.h"
#include "cache/pack_idle.h"
#include "cache/unpack_worker.h"
#include "plugin/preview_state.h"
#include "panel/present/metal/metal_homes.h"
#include "panel/present/playback_clock.h"
#include "preview/work_area.h"

namespace vel {

PanelPosition panel_position(PreviewState& state) {
  const PreviewController& ctl = state.preview;
  const PresentationState& p = state.presentation;
  PanelPosition pos;
  pos.asked = p.input.held_frame;
  if (!ctl.timing) return pos;
  if (const auto& shown = p.clock.shown_time) {
    pos.shown = frame_at_time(HostTime{shown->value, shown->scale},
                              HostTime{ctl.timing->frame_value, ctl.timing->frame_scale});
  }
  // The clock counts on the composition's frame grid: its index is the frame's.
  if (p.clock.awaiting) pos.awaiting = p.clock.awaiting->index;
  pos.playing = p.clock.playing && presenting_panel(state).views != nullptr;
  // Only the worker's playback of this play tells its picture: until the
  // play reaches the worker, what it last played (before a pause and a
  // click) is on screen no more.
  if (pos.playing && p.worker.active) pos.pictured = metal_home_screen_index(presenting_panel(state));
  return pos;
}

int64_t unpack_ahead_frames(double fps, int64_t loop_frames) {
  const int64_t per_second = std::isfinite(fps) && fps > 0 ? static_cast<int64_t>(std::ceil(std::min(fps, 1000.0))) : 24;
  const int64_t below_packing = static_cast<int64_t>(kPackMinFrameDurations) - 1;
  return std::max<int64_t>(0, std::min({2 * per_second, below_packing, loop_frames - 1}));
}

void request_panel_frames(PreviewState& state) {
  PreviewController& ctl = state.preview;
  FrameCache& cache = state.cache;
  if (!ctl.timing || ctl.frame_count <= 0) return;
  const int64_t focus = ctl.playhead.frame;
  const std::optional<FrameKey> key = frame_key_of(ctl, focus);
  if (!key) return;
  if (cache.focus != key) set_playhead_focus(cache, *key);
  // Once on screen the frame is not waited for: its unpacking, if any,
  // needs no early tick.
  (void)request_frame_unpack(cache, *key, ctl.presented != key);

  if (!presenting_panel(state).views) return;
  const auto [lo, hi] = playback_loop_bounds(ctl.work_area.first, ctl.work_area.last, ctl.frame_count);
  const int64_t span = hi - lo + 1;
  const double fps = static_cast<double>(ctl.timing->frame_scale) / static_cast<double>(ctl.timing->frame_value);
  const int64_t ahead = unpack_ahead_frames(fps, span);
  // From a frame outside the loop playback enters it at its first frame,
  // which is then the first one ahead.
  const bool inside = focus >= lo && focus <= hi;
  const int64_t from = inside ? focus : lo;
  for (int64_t i = inside ? 1 : 0; i <= ahead; ++i) {
    const int64_t frame = lo + (from - lo + i) % span;
    if (auto k = frame_key_of(ctl, frame)) (void)request_frame_unpack(cache, *k);
  }
}

}  // namespace vel
