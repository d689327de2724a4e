#include "preview/preview_controller.h"

#include <algorithm>

#include "cache/frame_cache_ops.h"
#include "core/log.h"
#include "core/options.h"
#include "core/process_flags.h"
#include "core/switches.h"
#include "host/render_calls.h"
#include "preview/async_render.h"

namespace vel {

PreviewController make_preview_controller(PluginId plugin_id, uint64_t now_ns) {
  PreviewController ctl;
  ctl.plugin_id = plugin_id;
  ctl.clock_origin_ns = now_ns;
  ctl.async_allowed = async_enabled();
  return ctl;
}

double preview_clock_ms(const PreviewController& ctl, uint64_t now_ns) {
  return now_ns > ctl.clock_origin_ns ? static_cast<double>(now_ns - ctl.clock_origin_ns) / 1e6 : 0.0;
}

void apply_panel_choices(PreviewController& ctl) {
  const PanelOptions& opts = panel_options();
  ctl.downsample.quality_factor = quality_downsample_factor(opts.quality.load(std::memory_order_relaxed));
  const uint64_t depth = opts.depth.load(std::memory_order_relaxed);
  ctl.depth_bpc = depth == 16 || depth == 32 ? static_cast<uint32_t>(depth) : 8;
}

void preview_refresh_policy(PreviewController& ctl, const FrameCache& cache) {
  apply_panel_choices(ctl);
  uint64_t frames = 0;
  if (ctl.timing && ctl.frame_count > 0) {
    const WorkAreaFrames b = work_area_bounds(ctl.work_area, ctl.frame_count);
    frames = std::min<uint64_t>(static_cast<uint64_t>(b.last - b.first + 1), cache.frame_limit);
  }
  const uint32_t w = ctl.comp_size.width > 0 ? static_cast<uint32_t>(ctl.comp_size.width) : 0;
  const uint32_t h = ctl.comp_size.height > 0 ? static_cast<uint32_t>(ctl.comp_size.height) : 0;
  ctl.downsample.memory_factor = memory_downsample_factor(w, h, frames, cache_byte_limit(cache));
}

uint32_t effective_downsample(const PreviewController& ctl) { return effective_downsample(ctl.downsample); }

bool edit_quiet_elapsed(const PreviewController& ctl, uint64_t now_ns) {
  return edit_quiet_elapsed(ctl.edits, ctl.forced, now_ns);
}

std::optional<FrameKey> frame_key_of(const PreviewController& ctl, int64_t frame) {
  if (!ctl.timing || frame < 0) return std::nullopt;
  const __int128 v = static_cast<__int128>(frame) * ctl.timing->frame_value;
  if (v > INT32_MAX) return std::nullopt;
  return FrameKey{static_cast<int32_t>(v), ctl.timing->frame_scale};
}

std::optional<int64_t> frame_of_key(const PreviewController& ctl, FrameKey key) {
  if (!ctl.timing || ctl.timing->frame_value <= 0 || key.scale != ctl.timing->frame_scale || key.value < 0 ||
      key.value % ctl.timing->frame_value != 0) {
    return std::nullopt;
  }
  const int64_t frame = key.value / ctl.timing->frame_value;
  if (frame >= ctl.frame_count) return std::nullopt;
  return frame;
}

uint64_t cancel_async_renders(PreviewController& ctl) {
  const uint64_t gen = raise_async_generation();
  for (const auto& [id, key] : ctl.async_pending) {
    if (auto st = cancel_async_render(id); !st) {
      log_line("ERROR", "async: cancel " + std::to_string(id) + " failed: " + to_string(st.error()));
    }
  }
  ctl.async_pending.clear();
  ctl.async_pending_keys.clear();
  return gen;
}

void reset_timing_trackers(PreviewController& ctl) { ctl.per_factor_ms = {}; }

void set_preview_context(PreviewController& ctl, uint64_t item_id) {
  ++ctl.context;
  reset_timing_trackers(ctl);
  ctl.presented.reset();
  ctl.unplaceable.clear();
  ctl.room_refused.clear();
  ctl.sweep_reported = false;
  ctl.live_grab_last.reset();
  perf_log("CONTEXT item=" + std::to_string(item_id) + " context=" + std::to_string(ctl.context));
}

void note_frame_road(PreviewController& ctl, const FrameCache& cache, FrameKey key, FrameRoad road) {
  ctl.frame_roads[key] = road;
  // The roads of the frames the cache let go are dropped together, once
  // there are as many again as it holds.
  if (ctl.frame_roads.size() > 2 * std::max<uint64_t>(cache.frame_limit, 1)) {
    std::erase_if(ctl.frame_roads, [&cache](const auto& entry) { return !contains_frame(cache, entry.first); });
  }
}

WorkAreaRoads count_work_area_roads(const PreviewController& ctl) {
  WorkAreaRoads n;
  const WorkAreaFrames b = work_area_bounds(ctl.work_area, ctl.frame_count);
  for (int64_t f = b.first; f <= b.last; ++f) {
    const std::optional<FrameKey> key = frame_key_of(ctl, f);
    const auto road = key ? ctl.frame_roads.find(*key) : ctl.frame_roads.end();
    if (road == ctl.frame_roads.end()) {
      ++n.archive;
      continue;
    }
    switch (road->second) {
      case FrameRoad::Sync: ++n.sync; break;
      case FrameRoad::Async: ++n.async; break;
      case FrameRoad::Pool: ++n.pool; break;
      case FrameRoad::Store: ++n.store; break;
      case FrameRoad::Raster: ++n.raster; break;
    }
  }
  return n;
}

std::string work_area_cached_line(const WorkAreaFrames& bounds, const WorkAreaRoads& roads, uint32_t downsample) {
  std::string text = "S2 zone de travail en cache : images " + std::to_string(bounds.first) + ".." +
                     std::to_string(bounds.last) + " (sync " + std::to_string(roads.sync) + ", async " +
                     std::to_string(roads.async) + ", pool " + std::to_string(roads.pool);
  if (roads.store > 0) text += ", disque " + std::to_string(roads.store);
  if (roads.raster > 0) text += ", raster " + std::to_string(roads.raster);
  if (roads.archive > 0) text += ", archive " + std::to_string(roads.archive);
  return text + ", ds " + std::to_string(downsample) + ")";
}

void reset_preview_counters(PreviewController& ctl) {
  ctl.async_pending.clear();
  ctl.async_pending_keys.clear();
  ctl.unplaceable.clear();
  ctl.room_refused.clear();
}

void record_inprocess_render_time(PreviewController& ctl, uint32_t factor, double ms) {
  record_inprocess_sample(ctl.level_times, ctl.per_factor_ms, factor, ms);
  if (ctl.pool_link.render_timed) ctl.pool_link.render_timed("grab", ms);
}

bool present_frame_to_panel(PreviewController& ctl, const RgbaFrame& frame, FrameKey key) {
  if (!ctl.present_hook) return false;
  const bool shown = ctl.present_hook(frame);
  if (shown) ctl.presented = key;
  return shown;
}

bool present_at_playhead(PreviewController& ctl, const RgbaFrame& frame, FrameKey key) {
  // A playing panel takes its frames from the cache by its own clock.
  if (ctl.playhead.playing || frame_key_of(ctl, ctl.playhead.frame) != key) return false;
  return present_frame_to_panel(ctl, frame, key);
}

void purge_preview(PreviewController& ctl, FrameCache& cache) {
  clear_frame_cache(cache);
  ctl.level_times = {};
  ctl.per_factor_ms = {};
  ctl.unplaceable.clear();
  ctl.room_refused.clear();
  ctl.sweep_reported = false;
  ctl.frame_roads.clear();
  ctl.presented.reset();
  ctl.live_grab_last.reset();
}

std::string preview_summary_text(const PreviewController& ctl) {
  const PreviewCounters& c = ctl.counters;
  return "preview: frames sync=" + std::to_string(c.sync_frames) + " async=" + std::to_string(c.async_frames) +
         " submitted=" + std::to_string(c.async_submitted) + " stale=" + std::to_string(c.async_stale) +
         " cancelled=" + std::to_string(c.async_cancelled) + " failed=" +
         std::to_string(c.async_failed + c.sync_failed) + " refused=" + std::to_string(c.cache_refused) +
         " raster=" + std::to_string(c.raster_frames);
}

void preview_shutdown(PreviewController& ctl) {
  // The host is going away: nothing more goes to its render manager, even
  // should an idle call or a command still reach the controller.
  ctl.async_allowed = false;
  cancel_async_renders(ctl);
  renew_job_slot(ctl.raster_slot);
  log_line("INFO", preview_summary_text(ctl));
}

PreviewTickReport preview_idle_step(PreviewController& ctl, FrameCache& cache, const PreviewTickInputs& in) {
  PreviewTickReport report;
  if (in.modal || modal_flag().load(std::memory_order_acquire)) return report;
  preview_refresh_policy(ctl, cache);
  preview_track_comp(ctl, cache, in, report);
  preview_apply_work_area_requests(ctl, in, report);
  focus_cache_on_playhead(ctl, cache);
  async_render_tick(ctl, cache, report);
  preview_render_step(ctl, cache, in, report);
  live_grab_step(ctl, cache, in);
  return report;
}

}  // namespace vel
