#include "plugin/panel_steps.h"

#include <algorithm>
#include <cmath>
#include <thread>
#include <utility>

#include "cache/frame_cache_ops.h"
#include "cache/unpack_worker.h"
#include "core/ffi_boundary.h"
#include "core/log.h"
#include "core/machine.h"
#include "core/options.h"
#include "plugin/panel_focus.h"
#include "plugin/pool_preview_link.h"
#include "plugin/pool_pump.h"
#include "plugin/pool_services.h"
#include "plugin/presentation.h"
#include "plugin/preview_state.h"
#include "plugin/strip_columns.h"
#include "core/switches.h"
#include "host/panel_calls.h"
#include "panel/scrub_signals.h"
#include "panel/update/update_banner.h"
#include "panel/update/update_notice.h"
#include "panel/update/update_opener.h"
#include "preview/work_area.h"

namespace vel {
namespace {

constexpr const char* kBusyDetail = "VELOCINTAING\xE2\x80\xA6";

std::thread::id& main_thread_id() {
  static std::thread::id& id = *new std::thread::id();
  return id;
}

std::optional<int64_t> shown_frame_index(const PreviewState& state) {
  const auto& shown = state.presentation.clock.shown_time;
  const auto& timing = state.preview.timing;
  if (!shown || !timing) return std::nullopt;
  return frame_at_time(HostTime{shown->value, shown->scale}, HostTime{timing->frame_value, timing->frame_scale});
}

void toggle_play(PreviewState& state) {
  PreviewController& ctl = state.preview;
  PresentationState& p = state.presentation;
  ModeContext ctx;
  ctx.has_item = ctl.pinned_item.has_value();
  ctx.timing = ctl.timing;
  ctx.invalidate = [&state] { invalidate_presentation(state); };
  settle_playback_for_pause(state, mono_ns());
  set_playback_mode(p.clock, PlaybackMode::PlayToggle, true, ctx);
  if (p.clock.paused) {
    p.input.held_frame = shown_frame_index(state);
  } else {
    p.input.held_frame.reset();
    pool_play_started(state, mono_ns());
  }
  log_line("INFO", p.clock.paused ? "velocinta: lecture en pause" : "velocinta: lecture");
}

// A scrub holds the preview at the frame under the pointer: playback
// pauses and the clock starts again from that frame.
void scrub_to(PreviewState& state, uint64_t thousandths) {
  PreviewController& ctl = state.preview;
  PresentationState& p = state.presentation;
  if (!ctl.timing || ctl.frame_count <= 0) return;
  if (!p.clock.paused) toggle_play(state);
  const int64_t frame = frame_at_strip_position(thousandths, ctl.frame_count);
  p.input.held_frame = frame;
  p.clock.shown_time.reset();
  p.clock.awaiting.reset();
}

void refresh_strip(PreviewState& state) {
  PresentationState& p = state.presentation;
  PreviewController& ctl = state.preview;
  const ActivePanel panel = presenting_panel(state);
  if (panel.views == nullptr) return;
  const StripPixels size = strip_pixel_size(panel);
  StripPicture pic;
  pic.width_px = size.width;
  pic.height_px = size.height;
  if (ctl.timing && ctl.frame_count > 0) {
    pic.frame_count = ctl.frame_count;
    pic.lit = cached_strip_columns(p.strip_columns, ctl, state.cache, size.width);
    const WorkAreaFrames b = work_area_bounds(ctl.work_area, ctl.frame_count);
    pic.work_first = b.first;
    pic.work_last = b.last;
    const std::optional<int64_t> shown = shown_frame_index(state);
    pic.shown_column = strip_shown_column(shown.value_or(ctl.playhead.frame), ctl.frame_count, size.width);
  }
  if (pic == p.last_strip) return;
  p.last_strip = pic;
  const std::vector<uint8_t> px = draw_cache_strip(pic);
  show_strip(panel, px, size);
  if (px.empty()) return;
  const auto [in_mark, out_mark] = strip_mark_positions(pic.work_first, pic.work_last, ctl.frame_count);
  publish_workarea_marks(in_mark, out_mark);
}

}  // namespace

void remember_main_thread() { main_thread_id() = std::this_thread::get_id(); }
bool on_main_thread() { return std::this_thread::get_id() == main_thread_id(); }

PanelBuildInputs panel_build_inputs() {
  const PanelOptions& o = panel_options();
  PanelBuildInputs in;
  in.quality = o.quality.load();
  in.speed = o.speed.load();
  in.autosave = o.autosave.load();
  in.speed_level = default_speed_level();
  in.metal_allowed = env_value("VELOCINTA_METAL").value_or("") != "0";
  in.async_present = async_present_enabled();
  in.open_update_link = [] { open_update_link(); };
  if (auto notice = update_notice()) in.update_banner_title = update_banner_title(notice->version);
  return in;
}

int32_t panel_create_hook(void* plugin_refcon, void* /*refcon*/, void* container, PanelH panel,
                          ::AEGP_PanelFunctions1* functions, void** panel_refcon) {
  return ffi_boundary("panel create_hook", int32_t{0}, [&] {
    fill_plain_panel_functions(functions);
    if (panel_refcon != nullptr) *panel_refcon = nullptr;
    // Without the suite the tab keeps the host's title; the panel is built anyway.
    (void)set_panel_title(panel, "Velocinta");
    auto* state = static_cast<PreviewState*>(plugin_refcon);
    if (state == nullptr) {
      log_line("ERROR", "panel: refcon global nul dans create_hook");
      return int32_t{0};
    }
    PresentationState& p = state->presentation;
    if (!mount_docked_panel(p.docked, container, on_main_thread(), panel_build_inputs())) {
      log_line("ERROR", "panel dockable: montage de la vue impossible");
      return int32_t{0};
    }
    PreviewController& ctl = state->preview;
    if (ctl.pinned_item) {
      set_preview_context(ctl, *ctl.pinned_item);
      if (auto key = frame_key_of(ctl, ctl.playhead.frame)) {
        (void)request_frame_unpack(state->cache, *key, true);
        // Through the preview, so that it knows the frame is on screen.
        if (auto frame = cached_frame(state->cache, *key)) (void)present_frame_to_panel(ctl, *frame, *key);
      }
    }
    p.controls.last_status.reset();
    p.controls.title_state = kPlayTitleUnknown;
    p.last_detail.reset();
    return int32_t{0};
  });
}

WorkAreaSignals read_work_area_posts() {
  const ScrubSignals& sig = scrub_signals();
  WorkAreaSignals words;
  words.in_move = sig.workarea_in_move.load(std::memory_order_acquire);
  words.out_move = sig.workarea_out_move.load(std::memory_order_acquire);
  words.mark_in_requests = sig.mark_in_requests.load(std::memory_order_acquire);
  words.mark_out_requests = sig.mark_out_requests.load(std::memory_order_acquire);
  return words;
}

void take_panel_posts_as_seen(PreviewState& state) {
  const ScrubSignals& sig = scrub_signals();
  PanelInputMemory& m = state.presentation.input;
  (void)take_panel_posts();
  m.play_toggles_seen = sig.play_toggles.load(std::memory_order_acquire);
  m.scrub_seq = sequence_of(sig.scrub_position.load(std::memory_order_acquire));
  snapshot_work_area_signals(state.preview.work_area_snapshot, read_work_area_posts());
}

namespace {

// One post of the panel, taken at its turn: a play click or a scrub acts on
// the panel now, so that the posts after it find the panel where it left
// it; a mark request waits for the composition's tracking, a key with where
// the panel stands now. A word already taken is no news (the words only grow).
void take_panel_post(PreviewState& state, PreviewTickInputs& in, const PanelPost& post) {
  PanelInputMemory& m = state.presentation.input;
  switch (post.kind) {
    case PanelPostKind::PlayToggle:
      if (post.word > m.play_toggles_seen) {
        const uint64_t clicks = post.word - m.play_toggles_seen;
        m.play_toggles_seen = post.word;
        if (clicks % 2 == 1) toggle_play(state);
      }
      return;
    case PanelPostKind::ScrubPosition:
      if (sequence_of(post.word) > m.scrub_seq) {
        m.scrub_seq = sequence_of(post.word);
        scrub_to(state, position_of(post.word));
      }
      return;
    case PanelPostKind::InMove: in.mark_requests.push_back({WorkAreaPost::InMove, post.word, {}}); return;
    case PanelPostKind::OutMove: in.mark_requests.push_back({WorkAreaPost::OutMove, post.word, {}}); return;
    case PanelPostKind::MarkIn: in.mark_requests.push_back({WorkAreaPost::InKey, post.word, panel_position(state)}); return;
    case PanelPostKind::MarkOut: in.mark_requests.push_back({WorkAreaPost::OutKey, post.word, panel_position(state)}); return;
  }
}

}  // namespace

void panel_input_step(PreviewState& state, PreviewTickInputs& in) {
  for (const PanelPost& post : take_panel_posts()) take_panel_post(state, in, post);
  // What the words hold beyond the queue (posts it had no room for) comes
  // after it: play clicks, then the scrub here, the mark requests after
  // this tick's in the composition's tracking.
  const ScrubSignals& sig = scrub_signals();
  in.work_area_signals = read_work_area_posts();
  take_panel_post(state, in, {PanelPostKind::PlayToggle, sig.play_toggles.load(std::memory_order_acquire)});
  take_panel_post(state, in, {PanelPostKind::ScrubPosition, sig.scrub_position.load(std::memory_order_acquire)});
}

bool playback_stop_posted(const PreviewState& state) {
  const ScrubSignals& sig = scrub_signals();
  const PresentationState& p = state.presentation;
  if (!p.clock.playing) return false;
  const uint64_t clicks = sig.play_toggles.load(std::memory_order_acquire) - p.input.play_toggles_seen;
  return clicks % 2 == 1 || sequence_of(sig.scrub_position.load(std::memory_order_acquire)) != p.input.scrub_seq;
}

void hold_panel_frame(PreviewState& state, bool pinned_changed) {
  if (pinned_changed) state.presentation.input.held_frame.reset();
}

void panel_refresh_step(PreviewState& state) {
  PresentationState& p = state.presentation;
  const PreviewController& ctl = state.preview;
  const bool known = ctl.comp_size.width > 0 && ctl.comp_size.height > 0;
  relayout_homes(p.docked, p.floating, known, known ? static_cast<double>(ctl.comp_size.width) / ctl.comp_size.height : 0.0);
  // Templates suspended for the session (2) make the pool unavailable for
  // its render settings.
  p.pool_availability = state.pool.templates_ready;
  update_play_controls(p.controls, p.clock.paused, p.pool_availability,
                       reachable_homes(p.docked, p.floating, docked_panel_shown(p.docked)));
  // What the pool waits for from the user comes before the busy text.
  std::string detail = pool_status_line(state);
  if (detail.empty() && ctl.pinned_item && !ctl.sweep_reported) detail = kBusyDetail;
  if (detail != p.last_detail) {
    set_detail_texts(p.docked, p.floating, detail, false);
    p.last_detail = detail;
  }
  refresh_strip(state);
}

}  // namespace vel
