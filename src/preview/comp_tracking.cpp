// Following the composition: which one is pinned, its timing, size, work
// area and current time, and the project's edits, read from the host each
// tick; then the playhead, from the host's time and the panel's position.
#include <algorithm>

#include "cache/comp_switch.h"
#include "cache/frame_cache_ops.h"
#include "core/log.h"
#include "host/comp_calls.h"
#include "host/item_calls.h"
#include "host/project_calls.h"
#include "host/render_calls.h"
#include "preview/preview_controller.h"

namespace vel {

namespace {

// How often a pinned composition that lost focus is looked up in the
// project again (its handle is only good while it exists).
constexpr uint64_t kPinnedCheckNs = 500'000'000;
constexpr int kMaxItemsWalked = 100'000;

bool item_still_in_project(ItemH item, uint64_t id) {
  auto project = project_by_index(0);
  if (!project) return false;
  auto it = first_project_item(project.value());
  for (int n = 0; it && it.value() && n < kMaxItemsWalked; ++n) {
    ItemH cur = *it.value();
    if (cur == item) {
      auto cur_id = item_id(cur);
      return cur_id && static_cast<uint64_t>(static_cast<uint32_t>(cur_id.value())) == id;
    }
    it = next_project_item(project.value(), cur);
  }
  return false;
}

void unpin(PreviewController& ctl) {
  cancel_async_renders(ctl);
  ctl.raster_comp.reset();
  renew_job_slot(ctl.raster_slot);
  ctl.pinned_item.reset();
  ctl.pinned_handle = nullptr;
  ctl.timing.reset();
  ctl.frame_count = 0;
  ctl.current_time.reset();
}

// Reads what changes under the pinned composition: size, work area, playhead.
void refresh_pinned(PreviewController& ctl) {
  if (!ctl.pinned_handle || !ctl.timing) return;
  const HostTime fd{ctl.timing->frame_value, ctl.timing->frame_scale};
  const HostTime dur{ctl.timing->duration_value, ctl.timing->duration_scale};
  ctl.frame_count = frame_count_of(dur, fd).value_or(0);
  if (auto d = item_dimensions(ctl.pinned_handle)) ctl.comp_size = d.value();
  if (auto comp = comp_from_item(ctl.pinned_handle); comp && comp.value()) {
    if (auto wa = comp_work_area(*comp.value())) {
      ctl.work_area = work_area_from_host(wa.value().start, wa.value().duration, fd, ctl.frame_count);
    }
  }
  if (auto t = item_current_time(ctl.pinned_handle)) {
    ctl.current_time = t.value();
    const int64_t f = frame_at_time(t.value(), fd).value_or(0);
    ctl.current_frame = ctl.frame_count > 0 ? std::clamp<int64_t>(f, 0, ctl.frame_count - 1) : 0;
  }
}

void switch_pinned(PreviewController& ctl, FrameCache& cache, ItemH item, uint64_t id, const CompFrameTiming& timing,
                   const PreviewTickInputs& in) {
  cancel_async_renders(ctl);
  ctl.raster_comp.reset();  // the next classification decides for the new composition
  renew_job_slot(ctl.raster_slot);
  const std::optional<uint64_t> outgoing = ctl.pinned_item;
  ctl.pinned_item = id;
  ctl.pinned_handle = item;
  ctl.timing = timing;
  ctl.work_area = {};
  ctl.frame_roads.clear();  // the keys of the outgoing composition are the same numbers
  refresh_pinned(ctl);

  CompActivation act;
  act.outgoing_comp = outgoing;
  if (ctl.stale_archived.erase(id) > 0) {
    act.drop_comp = id;
  } else {
    act.restore_comp = id;
  }
  if (auto name = item_name(item, ctl.plugin_id)) act.comp_name = name.value();
  act.frame_count = static_cast<uint64_t>(std::max<int64_t>(ctl.frame_count, 0));
  act.focus = frame_key_of(ctl, ctl.current_frame).value_or(FrameKey{0, timing.frame_scale});
  activate_comp_cache(cache, act);
  ctl.seen_comps.insert(id);

  // Requests posted for the previous composition are not replayed on this one.
  snapshot_work_area_signals(ctl.work_area_snapshot, in.work_area_signals);
  set_preview_context(ctl, id);
}

void note_edit(PreviewController& ctl, FrameCache& cache, PreviewTickReport& report) {
  report.edited = true;
  // Frames and requests of before the edit show the old project.
  cancel_async_renders(ctl);
  if (ctl.raster_comp) {
    // The held comp model shows the project before the edit: no result of
    // its fill may reach the emptied cache, and it is read again once the
    // edits are quiet.
    ctl.raster_comp.reset();
    renew_job_slot(ctl.raster_slot);
    ctl.raster_reread = true;
  }
  clear_frame_cache(cache);
  for (uint64_t id : ctl.seen_comps) {
    if (!ctl.pinned_item || id != *ctl.pinned_item) ctl.stale_archived.insert(id);
  }
  ctl.unplaceable.clear();
  ctl.room_refused.clear();
  ctl.sweep_reported = false;
  ctl.frame_roads.clear();
  ctl.presented.reset();
}

}  // namespace

void preview_track_comp(PreviewController& ctl, FrameCache& cache, const PreviewTickInputs& in,
                        PreviewTickReport& report) {
  if (!ctl.render_suites_ready) {
    // Once: a missing suite is logged by the acquisition, not on every tick.
    auto st = keep_render_suites();
    ctl.render_suites_ready = st.ok();
    if (!st) log_line("ERROR", "preview: render suites unavailable: " + to_string(st.error()));
  }
  if (!*ctl.render_suites_ready) return;
  auto active = active_item();
  ItemH item = active && active.value() ? *active.value() : nullptr;
  std::optional<CompFrameTiming> timing = item ? comp_frame_timing(item) : std::nullopt;
  std::optional<uint64_t> id;
  if (timing) {
    if (auto raw = item_id(item)) id = static_cast<uint64_t>(static_cast<uint32_t>(raw.value()));
  }
  if (id) {
    ctl.current_item = id;
    if (ctl.pinned_item != id) {
      switch_pinned(ctl, cache, item, *id, *timing, in);
      report.pinned_changed = true;
    } else {
      ctl.pinned_handle = item;
      ctl.timing = timing;
    }
  } else {
    ctl.current_item.reset();
    // A change of the project may have deleted the pinned composition: its
    // handle is not used again before the composition is found in the project.
    bool project_changed = false;
    if (ctl.pinned_item) {
      auto stamp = current_timestamp();
      project_changed = stamp && (!ctl.edits.baseline || stamp.value() != *ctl.edits.baseline);
    }
    if (ctl.pinned_item && (project_changed || in.now_ns - ctl.pinned_checked_ns >= kPinnedCheckNs)) {
      ctl.pinned_checked_ns = in.now_ns;
      if (!item_still_in_project(ctl.pinned_handle, *ctl.pinned_item)) {
        log_line("INFO", "preview: composition " + std::to_string(*ctl.pinned_item) + " left the project");
        unpin(ctl);
        clear_frame_cache(cache);
        report.comp_left = true;
      }
    }
  }
  if (!report.pinned_changed) refresh_pinned(ctl);

  if (auto stamp = current_timestamp()) {
    if (note_project_stamp(ctl.edits, stamp.value(), in.now_ns)) note_edit(ctl, cache, report);
  }
  // Where the panel stands belongs to the composition it showed: a newly
  // pinned one starts from the host's time, playing or not as the panel is.
  const PanelPosition panel = report.pinned_changed ? PanelPosition{.playing = in.panel.playing} : in.panel;
  ctl.playhead = find_playhead(panel, ctl.current_frame, ctl.work_area, ctl.frame_count);
  // The cache ranks eviction and unpacking by the work range, then the
  // focus, which follows the playhead once the tick knows it.
  if (ctl.pinned_item && ctl.timing && ctl.frame_count > 0) {
    const WorkAreaFrames b = work_area_bounds(ctl.work_area, ctl.frame_count);
    cache.work_range = frame_range_micros(ctl.timing->frame_value, ctl.timing->frame_scale, b.first, b.last);
  }
}

void focus_cache_on_playhead(const PreviewController& ctl, FrameCache& cache) {
  if (!ctl.pinned_item || !ctl.timing || ctl.frame_count <= 0) return;
  const int64_t playhead = std::clamp<int64_t>(ctl.playhead.frame, 0, ctl.frame_count - 1);
  if (auto key = frame_key_of(ctl, playhead)) set_playhead_focus(cache, *key);
}

void preview_apply_work_area_requests(PreviewController& ctl, const PreviewTickInputs& in, PreviewTickReport& report) {
  if (!ctl.pinned_handle || !ctl.timing || ctl.frame_count <= 0) {
    snapshot_work_area_signals(ctl.work_area_snapshot, in.work_area_signals);
    return;
  }
  // A key marks the frame on screen at its turn, which a click or a play
  // click made before it in the same turn may have changed: the playhead of
  // where the panel stood then. That belongs to the composition it showed;
  // a newly pinned one starts from the host's time.
  std::vector<WorkAreaRequest> requests;
  for (const PanelMarkRequest& r : in.mark_requests) {
    int64_t mark_at = 0;
    if (r.kind == WorkAreaPost::InKey || r.kind == WorkAreaPost::OutKey) {
      const PanelPosition at = report.pinned_changed ? PanelPosition{.playing = r.at.playing} : r.at;
      mark_at = mark_frame(find_playhead(at, ctl.current_frame, ctl.work_area, ctl.frame_count));
    }
    requests.push_back({r.kind, r.word, mark_at});
  }
  for (const WorkAreaRequest& r : requests_of_words(in.work_area_signals, mark_frame(ctl.playhead))) requests.push_back(r);
  auto next = apply_work_area_requests(ctl.work_area, ctl.work_area_snapshot, requests, ctl.frame_count);
  if (!next) return;
  log_line("INFO", work_area_log_text(*next));
  const HostTime fd{ctl.timing->frame_value, ctl.timing->frame_scale};
  auto host = work_area_to_host(*next, fd);
  auto comp = comp_from_item(ctl.pinned_handle);
  if (!host || !comp || !comp.value()) {
    log_line("ERROR", "workarea: cannot reach the composition");
    return;
  }
  if (auto st = set_comp_work_area(*comp.value(), host->first, host->second); !st) {
    log_line("ERROR", "workarea: " + to_string(st.error()));
    return;
  }
  ctl.work_area = *next;
  ctl.sweep_reported = false;
  report.work_area_changed = true;
  // Our own change of the work area moves the project stamp; it leaves every
  // rendered frame valid, so it is taken as the new baseline, not an edit.
  if (auto stamp = current_timestamp()) ctl.edits.baseline = stamp.value();
}

}  // namespace vel
