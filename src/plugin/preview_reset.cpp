#include "plugin/preview_reset.h"

#include "cache/frame_cache_ops.h"
#include "plugin/panel_steps.h"
#include "plugin/pool_services.h"
#include "plugin/presentation.h"
#include "plugin/preview_state.h"
#include "core/switches.h"
#include "panel/present/pacemaker.h"

namespace vel {
void reset_preview_state(PreviewState& state, double /*time*/, const ResetObserver& observe) {
  PresentationState& p = state.presentation;
  PreviewController& ctl = state.preview;
  auto done = [&observe](std::string_view step) {
    if (observe) observe(step);
  };

  invalidate_presentation(state);
  done("invalidate");
  blank_homes(p.docked, p.floating);
  done("panels");
  reset_preview_counters(ctl);
  done("counters");
  clear_frame_cache(state.cache);
  ctl.unplaceable.clear();
  ctl.room_refused.clear();
  ctl.sweep_reported = false;
  ctl.frame_roads.clear();
  ctl.presented.reset();
  done("cache");
  stop_pool(state);
  done("pool");
  // A running raster fill stops with its slot: nothing it draws after the
  // reset reaches the cache. The composition is read again when the
  // preview is next wanted, with the raster path allowed again.
  reset_preview_session(ctl);
  ctl.raster_blocked = false;
  p.clock = restarted_clock(p.clock);
  p.input.held_frame.reset();
  p.last_strip = {};
  p.strip_columns = {};
  done("playback");
  set_detail_texts(p.docked, p.floating, "", true);
  p.last_detail = "";
  done("detail");
  // Requests posted before the reset are not applied after it.
  snapshot_work_area_signals(ctl.work_area_snapshot, read_work_area_posts());
  p.controls.title_state = kPlayTitleUnknown;
  done("snapshot");
  cancel_async_renders(ctl);
  done("async");
  if (pacemaker_enabled() && !pacemaker().stopped()) pacemaker().disarm();
  done("pacemaker");
}

void reset_cache_and_preview(PreviewState& state) {
  reset_cache_state(state.cache);
  state.preview.stale_archived.clear();
  reset_preview_state(state, 0.0);
}

}  // namespace vel
