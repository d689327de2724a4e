#include "core/plugin/preview_reset.h"

#include "cache/frame_cache_ops.h"
#include "core/plugin/pool_services.h"
#include "core/plugin/presentation.h"
#include "core/plugin/preview_state.h"
#include "core/switches.h"
#include "panel/pacemaker.h"
#include "panel/scrub_signals.h"

namespace vel {
namespace {

void blank_panel(PanelViews& views) {
  if (views.cpu) views.cpu->invalidate();
  views.display_view->setImage(nullptr);
  views.strip_view->setImage(nullptr);
}

}  // namespace

void reset_preview_state(PreviewState& state, double /*time*/, const ResetObserver& observe) {
  PresentationState& p = state.presentation;
  PreviewController& ctl = state.preview;
  auto done = [&observe](std::string_view step) {
    if (observe) observe(step);
  };

  invalidate_presentation(state);
  done("invalidate");
  if (p.docked.container && p.docked.views) blank_panel(*p.docked.views);
  done("docked");
  if (p.floating.window && p.floating.views) blank_panel(*p.floating.views);
  done("floating");
  reset_preview_counters(ctl);
  done("counters");
  clear_frame_cache(state.cache);
  ctl.unplaceable.clear();
  ctl.sweep_reported = false;
  ctl.presented.reset();
  done("cache");
  stop_pool(state);
  done("pool");
  p.clock = PlaybackClock{};
  p.input.held_frame.reset();
  p.last_strip = {};
  done("playback");
  if (p.docked.container && p.docked.views) set_status_label(*p.docked.views->detail_label, "");
  if (p.floating.window && p.floating.views) set_status_label(*p.floating.views->detail_label, "");
  p.last_detail.clear();
  done("detail");
  // Requests posted before the reset are not applied after it.
  ScrubSignals& sig = scrub_signals();
  WorkAreaSignals words;
  words.in_move = sig.workarea_in_move.load(std::memory_order_acquire);
  words.out_move = sig.workarea_out_move.load(std::memory_order_acquire);
  words.mark_in_requests = sig.mark_in_requests.load(std::memory_order_acquire);
  words.mark_out_requests = sig.mark_out_requests.load(std::memory_order_acquire);
  snapshot_work_area_signals(ctl.work_area_snapshot, words);
  p.controls.title_state = kPlayTitleUnknown;
  done("snapshot");
  cancel_async_renders(ctl);
  done("async");
  if (pacemaker_enabled() && !pacemaker().stopped()) pacemaker().disarm();
  done("pacemaker");
}

}  // namespace vel
