// The idle hook's tick as a fixed list of named steps, in the order the
// subsystems depend on each other. A step of a subsystem that has nothing to
// do yet is an empty function, so the order stays visible in one place.
#include <string>

#include "cache/buffer_pool.h"
#include "cache/cache_budget.h"
#include "cache/frame_cache_ops.h"
#include "cache/memory_pressure.h"
#include "cache/pack_idle.h"
#include "cache/unpack_worker.h"
#include "core/log.h"
#include "core/machine.h"
#include "core/options.h"
#include "plugin/hooks.h"
#include "plugin/panel_focus.h"
#include "plugin/panel_steps.h"
#include "plugin/pool_preview_link.h"
#include "plugin/pool_pump.h"
#include "plugin/pool_services.h"
#include "plugin/presentation.h"
#include "plugin/preview_reset.h"
#include "plugin/preview_state.h"
#include "panel/present/pacemaker.h"
#include "panel/present/present_bytes.h"
#include "panel/update/update_banner.h"
#include "panel/update/update_opener.h"

namespace vel {
namespace {

struct Tick {
  PreviewState& s;
  PreviewTickInputs in;
  PreviewTickReport report;
};

void step_present_reap(Tick& t) { presentation_reap_step(t.s); }

void step_downsample_policy(Tick& t) {
  preview_refresh_policy(t.s.preview, t.s.cache);
  refresh_resource_plan(t.s);
}

void step_apply_options(Tick& t) {
  PersistedOptions now = snapshot_panel_options();
  if (now == t.s.persisted_options) return;
  t.s.persisted_options = now;
  if (auto file = options_file_path()) {
    if (!save_persisted_options(*file, now)) log_line("ERROR", "options: écriture impossible : " + file->string());
  }
}

void step_panel(Tick& t) {
  panel_input_step(t.s, t.in);
  panel_refresh_step(t.s);
}

// Openers from earlier clicks are reaped by their pids; the banner follows
// the notice slot in every existing panel.
void step_update_banner(Tick& t) {
  (void)reap_update_openers();
  PresentationState& p = t.s.presentation;
  const bool docked = p.docked.container && p.docked.views;
  const bool floating = p.floating.window != nullptr;
  if (auto change = update_banner_step(t.s.update_banner, docked, floating)) {
    apply_update_banner(p.docked, p.floating, change->title);
  }
}

void step_comp_tracking(Tick& t) {
  // The playhead is taken in there, from the host's time and where the
  // panel stands after this tick's clicks and play toggles.
  t.in.panel = panel_position(t.s);
  preview_track_comp(t.s.preview, t.s.cache, t.in, t.report);
  if (t.report.comp_left) reset_cache_and_preview(t.s);
  // The new composition's first frames are wanted soon.
  if (t.report.pinned_changed) start_pacemaker(true, kPacemakerSwitchPeriodUs);
  if (t.report.pinned_changed && t.s.preview.pinned_handle) {
    t.s.preview.topology_rescans = 0;
    classify_preview_topology(t.s.preview, t.s.preview.pinned_handle);
    // The raster path draws this composition: the pool has nothing to do.
    if (t.s.preview.raster_comp) stop_pool(t.s);
  }
  follow_pooled_comp(t.s);
  hold_panel_frame(t.s, t.report.pinned_changed);
  preview_apply_work_area_requests(t.s.preview, t.in, t.report);
}

void step_verification_and_clock(Tick& t) { playback_clock_step(t.s, t.in.now_ns); }

// The cache's focus follows the playhead before the store, the producers
// or the pool put a frame in: a frame far from the old focus would be the
// farthest and put out as it goes in.
void step_playhead_focus(Tick& t) { focus_cache_on_playhead(t.s.preview, t.s.cache); }

void step_store_feed(Tick& t) { store_feed_tick(t.s.store, t.s.preview, t.s.cache, t.report); }

void step_producers(Tick& t) {
  // An edited raster comp is read again before anyone decides who renders.
  raster_reread_step(t.s.preview, t.in);
  async_render_tick(t.s.preview, t.s.cache, t.report);
  raster_fill_step(t.s.preview, t.s.cache, t.in);
  t.in.pool_ready = pool_wants_frames(t.s, t.in.now_ns);
  t.in.pool_engaged = !t.s.preview.raster_comp && pool_takes_frames(t.s, t.in.now_ns);
  t.in.pool_pending = pool_held_frames(t.s, t.in.now_ns);
  t.in.pool_given_up = pool_given_up_frames(t.s, t.in.now_ns);
  t.in.pool_coming = pool_coming_frames(t.s, t.in.now_ns);
  preview_render_step(t.s.preview, t.s.cache, t.in, t.report);
  note_cost_figures(t.s.store, t.s.preview);
}

// The frame cache's upkeep: finished unpacks come in, the panel's frame and
// those ahead of it are asked for raw, far frames are packed, and the budget
// is refreshed with the bytes that work in flight holds outside the cache.
void step_cache_upkeep(Tick& t) {
  FrameCache& cache = t.s.cache;
  const PreviewController& ctl = t.s.preview;
  drain_unpack_results(cache);
  request_panel_frames(t.s);
  if (ctl.timing) pack_idle_frames(cache, pack_min_distance_seconds(ctl.timing->frame_value, ctl.timing->frame_scale));
  CacheReserveInputs reserve = cache_own_reserve(cache);
  reserve.pooled_bytes = trim_pixel_buffer_pool();
  reserve.store_queue_bytes = t.s.store.handle.bytes_in_flight();
  reserve.present_job_bytes = present_pixel_bytes().load(std::memory_order_relaxed);
  refresh_cache_budget(cache, reserve, physical_memory_bytes(), memory_pressure_percent());
}

// The pool follows the preview's edits and its holds, then takes its own
// step up to the launch.
void step_pool(Tick& t) {
  pool_follow_preview_step(t.s, t.in.now_ns);
  pool_idle_step(t.s, t.in.now_ns, t.report.edited, t.report.pool_frames, t.report.frames_unclaimed);
}

void step_preview_tick(Tick& t) {
  live_grab_step(t.s.preview, t.s.cache, t.in);
  presentation_tick_step(t.s, t.in.now_ns);
}

struct IdleStep {
  const char* name;
  void (*run)(Tick&);
};

constexpr IdleStep kIdleSteps[] = {
    {"present-reap", step_present_reap},
    {"downsample-policy", step_downsample_policy},
    {"options", step_apply_options},
    {"update-banner", step_update_banner},
    {"panel", step_panel},
    {"comp-tracking", step_comp_tracking},
    {"verification-and-clock", step_verification_and_clock},
    {"playhead-focus", step_playhead_focus},
    {"store-feed", step_store_feed},
    {"producers", step_producers},
    {"cache-upkeep", step_cache_upkeep},
    {"pool", step_pool},
    {"preview-tick", step_preview_tick},
};

}  // namespace

void run_idle_steps(PreviewState& state, uint64_t now_ns) {
  Tick tick{state, {}, {}};
  tick.in.now_ns = now_ns;
  for (const IdleStep& step : kIdleSteps) step.run(tick);
}

}  // namespace vel
