#include "plugin/presentation.h"

#include <utility>

#include "cache/frame_cache_ops.h"
#include "cache/unpack_worker.h"
#include "core/log.h"
#include "core/switches.h"
#include "plugin/panel_focus.h"
#include "plugin/panel_steps.h"
#include "plugin/preview_state.h"
#include "panel/present/metal/metal_homes.h"
#include "panel/present/pacemaker.h"
#include "panel/present/present_request.h"
#include "panel/present/present_telemetry.h"
#include "panel/present/present_workers.h"

namespace vel {
namespace {

// A new composition (or none): the clock and the report start over; a pause
// holds.
void follow_context(PreviewState& state) {
  PresentationState& p = state.presentation;
  if (p.context_item == state.preview.pinned_item) return;
  p.context_item = state.preview.pinned_item;
  p.clock = restarted_clock(p.clock);
  p.dirty = false;
  invalidate_presentation(state);
  reset_pipeline_stats(p.pipeline, monotonic_ms(), present_telemetry_drop_count());
  p.pipeline.comp = p.context_item.value_or(0);
}

// Until the clock runs, the playhead's frame is shown as soon as it is
// cached; the clock then starts from it. A frame the renderer already handed
// to the panel is not handed again (the panel refuses the same frame twice),
// and the clock starts from it all the same. Playing, the frame asked for
// is where playback started from: it is asked for no more.
void start_clock_at_playhead(PreviewState& state) {
  PresentationState& p = state.presentation;
  PreviewController& ctl = state.preview;
  if (p.clock.shown_time || !ctl.timing) return;
  auto key = frame_key_of(ctl, ctl.playhead.frame);
  if (!key) return;
  if (ctl.presented != key) {
    auto frame = cached_frame(state.cache, *key);
    if (!frame || !present_frame_to_panel(ctl, *frame, *key)) return;
  }
  p.clock.shown_time = *key;
  p.clock.anchor_ns.reset();
  if (p.clock.playing) p.input.held_frame.reset();
}

// Playback ticks at half a frame; frames still being unpacked or rendered
// bring the next tick within 100 ms; otherwise the host's own pace will do.
void pace(PreviewState& state) {
  const PresentationState& p = state.presentation;
  const auto& timing = state.preview.timing;
  if (presenting_panel(state).views && p.clock.playing && p.clock.shown_time && timing) {
    start_pacemaker_for_fps(true, static_cast<double>(timing->frame_scale) / timing->frame_value);
  } else if (has_pending_jobs(state.cache) || !state.preview.async_pending.empty()) {
    start_pacemaker(true, kPacemakerPendingPeriodUs);
  } else if (pacemaker().armed()) {
    start_pacemaker(false, kPacemakerIdlePeriodUs);
  }
}

// A Metal panel plays on its worker's own clock: each tick posts the ready
// frames around the shown one, and the shown frame follows the worker's
// report. False when the usable panel has no Metal worker.
bool worker_playback_tick(PreviewState& state, const ClockInputs& in) {
  PresentationState& p = state.presentation;
  const bool docked_usable = docked_panel_shown(p.docked);
  if (!panel_can_present(p.docked, p.floating, docked_usable)) return false;
  // Back from a hold, the worker's report comes from the panel it was
  // stopped in, wherever that is shown now.
  const PresenterReport report = p.worker.held
                                     ? metal_home_result(metal_home_panel(p.docked, p.floating, p.worker.docked))
                                     : take_floating_present_result(p.docked, p.floating, docked_usable);
  p.clock.missed += take_worker_missed_frames(p.docked, p.floating, docked_usable);
  if (auto post = worker_playback_step(p.clock, p.worker, state.cache, in, report)) {
    p.worker.docked = docked_usable;
    dispatch_present_job(presenting_panel(state), std::move(*post));
    // The worker puts its own frames on screen: the frame the preview last
    // handed over is no longer the one shown, and a click back to it must
    // hand it over again.
    state.preview.presented.reset();
  }
  return true;
}

// What the clock reads of the preview at `now_ns`; the composition's
// timing is known.
ClockInputs clock_inputs(const PreviewState& state, uint64_t now_ns) {
  const PreviewController& ctl = state.preview;
  ClockInputs in;
  in.timing = *ctl.timing;
  in.work_first = ctl.work_area.first;
  in.work_last = ctl.work_area.last;
  in.frame_batch_limit = state.cache.frame_limit;
  in.delivery_optimize = delivery_optimize_enabled();
  in.now_ns = now_ns;
  return in;
}

// The worker's playback ends as a stop: from here on nothing it drew for
// the playback reaches the screen, and the frame whose picture it left
// there, when one of its draws got there, is the shown frame. The panel
// shows the shown frame again, last, so that it is what stays on screen
// whatever the worker had in hand.
void stop_worker_playback(PreviewState& state) {
  PresentationState& p = state.presentation;
  auto post = end_worker_playback(p.worker);
  if (!post) return;
  const std::optional<int64_t> pictured = dispatch_playback_stop(presenting_panel(state), std::move(*post));
  if (pictured && state.preview.timing) (void)show_worker_picture(p.clock, *state.preview.timing, *pictured);
  const auto& shown = p.clock.shown_time;
  if (!shown) return;
  if (auto frame = cached_frame(state.cache, *shown)) (void)present_frame_to_panel(state.preview, *frame, *shown);
}

// A pause, a click or a purge taken up while the worker plays: the shown
// frame follows its report, then its stop settles it on the picture on
// screen.
void stop_worker_playback_here(PreviewState& state) {
  PresentationState& p = state.presentation;
  if (!p.worker.active || !state.preview.timing) return;
  (void)follow_worker_report(p.clock, p.worker, *state.preview.timing,
                             take_floating_present_result(p.docked, p.floating, docked_panel_shown(p.docked)));
  stop_worker_playback(state);
}

// The panel went out of sight while playing: nothing is drawn into it, and
// no frame falls due unseen. A Metal worker is stopped in the panel it
// played in (a stop sent to the panel now presenting, none, would never
// reach it); the frame it last reported, read until it is back, is the one
// its screen holds and stays the shown frame, which playback takes up again
// from once the panel is back. The CPU clock counts what fell due before
// the hide and starts a new time base then.
void hold_hidden_playback(PreviewState& state, uint64_t now_ns) {
  PresentationState& p = state.presentation;
  WorkerPlayback& w = p.worker;
  const ActivePanel home = metal_home_panel(p.docked, p.floating, w.docked);
  if (w.active) {
    (void)follow_worker_report(p.clock, w, *state.preview.timing, metal_home_result(home));
    if (auto post = end_worker_playback(w)) {
      // Nothing drawn for the playback lands after the stop: the picture it
      // left is the one that panel holds.
      if (auto pictured = dispatch_playback_stop(home, std::move(*post))) {
        (void)show_worker_picture(p.clock, *state.preview.timing, *pictured);
      }
      w.held = true;
    }
  }
  // A panel gone meanwhile holds nothing.
  if (w.held && home.views == nullptr) w.held = false;
  if (!w.held) {
    count_missed_before_stop(p.clock, clock_inputs(state, now_ns));
  }
  p.clock.anchor_ns.reset();
}

}  // namespace

ActivePanel presenting_panel(PreviewState& state) {
  return active_panel(state.presentation.docked, state.presentation.floating);
}

bool present_in_active_panel(PreviewState& state, const RgbaFrame& frame) {
  return show_frame_in_active_panel(presenting_panel(state), frame);
}

void open_presentation(PreviewState& state) {
  PresentationState& p = state.presentation;
  if (!p.docked.container) show_floating_panel(p.floating, panel_build_inputs());
  p.last_detail.reset();
  p.clock = restarted_clock(p.clock);
  invalidate_presentation(state);
}

void close_presentation(PreviewState& state) {
  PresentationState& p = state.presentation;
  hide_floating_panel(p.floating);
  p.clock = restarted_clock(p.clock);
  invalidate_presentation(state);
  start_pacemaker(false, kPacemakerIdlePeriodUs);
}

void invalidate_presentation(PreviewState& state) {
  PresentationState& p = state.presentation;
  const uint64_t item = state.preview.pinned_item.value_or(0);
  const bool was_dirty = p.dirty;
  p.dirty = true;
  if (was_dirty && read_present_request().item == item) return;
  const PresentRequest request = begin_present_request(item, false, 0.0);
  p.pipeline.current_generation = request.seq;
  invalidate_home_presenters(p.docked, p.floating);
  p.worker.active = false;  // the cancel above stopped the worker's playback
  p.worker.held = false;
  state.preview.presented.reset();
}

void presentation_reap_step(PreviewState& state) {
  PresentationState& p = state.presentation;
  reap_present_workers();
  // A frame the pixels worker finished for the playback after a pause was
  // pressed would reach the screen before the pause is taken up, and become
  // the paused frame: it is not collected, and the pause drops it.
  stop_hidden_panel(p.docked, p.floating, docked_panel_shown(p.docked), playback_stop_posted(state));
  follow_context(state);
  p.pipeline.current_generation = read_present_request().seq;
  for (const PresentTelemetry& r : drain_present_telemetry()) {
    accumulate_present_timing(p.pipeline.present_totals, r);
    admit_pipeline_record(p.pipeline, r);
  }
  (void)drain_timing_samples();
}

void playback_clock_step(PreviewState& state, uint64_t now_ns) {
  PresentationState& p = state.presentation;
  PreviewController& ctl = state.preview;
  // A switch this tick's composition tracking made is taken up before the
  // clock plays: the old playback would go on over the new composition's
  // frames, from the old one's frame number.
  follow_context(state);
  if (!presenting_panel(state).views && p.clock.playing && ctl.timing) {
    hold_hidden_playback(state, now_ns);
    return;
  }
  if (!presenting_panel(state).views || !p.clock.playing || !ctl.timing) {
    stop_worker_playback(state);
    return;
  }
  const ClockInputs in = clock_inputs(state, now_ns);
  if (worker_playback_tick(state, in)) return;
  stop_worker_playback(state);
  advance_playback_clock(p.clock, state.cache, in,
                         [&ctl](const RgbaFrame& f, FrameKey key) { return present_frame_to_panel(ctl, f, key); });
}

void presentation_tick_step(PreviewState& state, uint64_t now_ns) {
  PresentationState& p = state.presentation;
  PreviewController& ctl = state.preview;
  const bool shown = presenting_panel(state).views != nullptr;
  if (shown) start_clock_at_playhead(state);
  // Something was shown for the current request: the next invalidation
  // opens a new one.
  if (p.dirty && presented_for_request(read_present_request())) p.dirty = false;
  pace(state);

  const bool playing = shown && p.clock.playing && p.clock.shown_time.has_value();
  set_bench_collecting(ctl.bench, playing);
  record_frame_step(ctl.bench, preview_clock_ms(ctl, now_ns));

  p.pipeline.missed_total += std::exchange(p.clock.missed, 0);
  const double now_ms = monotonic_ms();
  const bool running = ctl.pinned_item.has_value() && !p.clock.paused;
  std::optional<std::string> hold;
  if (!shown) hold = "hidden";
  accumulate_clock_time(p.pipeline.run_totals, running, hold, now_ms);
  if (auto line = write_detail_report(p.pipeline, now_ms, present_telemetry_drop_count())) perf_log(*line);
}

void restart_clock_in_place(PreviewState& state) {
  PresentationState& p = state.presentation;
  const PreviewController& ctl = state.preview;
  // Playing on the worker, the frame on screen is the one its stop leaves
  // there, not the one the clock last followed.
  stop_worker_playback_here(state);
  // The picture may have moved since the playhead was taken this tick.
  if (!p.input.held_frame && ctl.pinned_item) p.input.held_frame = panel_position(state).shown.value_or(ctl.playhead.frame);
  p.clock = restarted_clock(p.clock);
}

void settle_playback_for_pause(PreviewState& state, uint64_t now_ns) {
  PresentationState& p = state.presentation;
  if (!state.preview.timing) return;
  if (p.worker.active) {
    // The worker reports a frame as it hands its draw to the GPU; the pause
    // keeps the one whose picture is on screen as it is taken up, and the
    // draws in flight behind it never land.
    stop_worker_playback_here(state);
    return;
  }
  if (presenting_panel(state).views) count_missed_before_stop(p.clock, clock_inputs(state, now_ns));
}

void presentation_shutdown(PreviewState* state) {
  pacemaker().stop();
  if (state != nullptr) {
    state->preview.present_hook = nullptr;
    // Their workers stop; the join below waits for them.
    stop_home_presenters(state->presentation.docked, state->presentation.floating);
  }
  join_present_workers();
}

}  // namespace vel
