// The idle hook's side of the raster fill: when to start one, and the
// results it takes into the frame cache each tick.
#include <algorithm>
#include <vector>

#include "cache/frame_cache_ops.h"
#include "core/machine.h"
#include "panel/present/present_telemetry.h"
#include "preview/preview_controller.h"
#include "raster/raster_frame.h"

namespace vel {

namespace {

// The work area's frames (all frames without one) that the cache lacks at
// the wanted width, from the playhead onward and wrapping to the start.
std::vector<FrameKey> missing_work_area_frames(const PreviewController& ctl, const FrameCache& cache,
                                               uint32_t want_width) {
  std::vector<FrameKey> out;
  const WorkAreaFrames b = work_area_bounds(ctl.work_area, ctl.frame_count);
  const int64_t span = b.last - b.first + 1;
  if (span <= 0) return out;
  const int64_t start = loop_entry(ctl.playhead.frame, b);
  for (int64_t i = 0; i < span; ++i) {
    auto key = frame_key_of(ctl, b.first + (start - b.first + i) % span);
    if (!key) continue;
    auto width = cached_frame_width(cache, *key);
    if (width && *width >= want_width) continue;
    out.push_back(*key);
  }
  return out;
}

void note_raster_result(const RgbaFrame& frame) { record_produced_frame(frame, "raster"); }

}  // namespace

void raster_reread_step(PreviewController& ctl, const PreviewTickInputs& in) {
  if (!ctl.raster_reread || !ctl.pinned_handle || !edit_quiet_elapsed(ctl, in.now_ns)) return;
  classify_preview_topology(ctl, ctl.pinned_handle);
}

void start_raster_fill_if_due(PreviewController& ctl, const FrameCache& cache, const PreviewTickInputs& in) {
  if (!ctl.raster_comp || !ctl.pinned_item || !ctl.timing) return;
  const uint32_t ds = effective_downsample(ctl);
  if (ctl.raster_fill_armed && ctl.raster_fill_armed->downsample != ds) {
    // A running fill draws frames of the old size: none of them may reach
    // the cache, and a fresh fill starts at the new size.
    renew_job_slot(ctl.raster_slot);
    ctl.raster_fill_armed.reset();
  }
  if (ctl.raster_slot.running()) return;
  if (ctl.frame_count <= 0 || static_cast<uint64_t>(ctl.frame_count) > cache.frame_limit) return;
  if (!edit_quiet_elapsed(ctl, in.now_ns)) return;
  const RasterFillArm arm{*ctl.pinned_item, work_area_bounds(ctl.work_area, ctl.frame_count), ds};
  if (ctl.raster_fill_armed == arm) return;
  const uint32_t want_width = raster_side(ctl.raster_comp->width, ds);
  std::vector<FrameKey> frames = missing_work_area_frames(ctl, cache, want_width);
  ctl.raster_fill_armed = arm;
  if (frames.empty()) return;
  run_raster_fill(ctl.raster_slot, ctl.raster_comp, std::move(frames), ds);
}

size_t take_raster_results(PreviewController& ctl, FrameCache& cache) {
  std::vector<RasterFrameResult> got = drain_result_channel(
      ctl.raster_slot, kRasterResultsPerTick, [](const RasterFrameResult& r) { return uint64_t{r.pixels.size()}; });
  for (RasterFrameResult& r : got) {
    RgbaFrame frame{std::move(r.pixels), r.seconds, r.width, r.height};
    note_raster_result(frame);
    if (!cache_rendered_frame(cache, r.time, frame)) {
      if (ctl.counters.cache_refused != UINT64_MAX) ++ctl.counters.cache_refused;
      continue;
    }
    if (ctl.counters.raster_frames != UINT64_MAX) ++ctl.counters.raster_frames;
    note_frame_road(ctl, cache, r.time, FrameRoad::Raster);
    (void)present_at_playhead(ctl, frame, r.time);
  }
  return got.size();
}

void raster_fill_step(PreviewController& ctl, FrameCache& cache, const PreviewTickInputs& in) {
  start_raster_fill_if_due(ctl, cache, in);
  take_raster_results(ctl, cache);
  if (ctl.raster_slot.cancel->exchange(false, std::memory_order_acq_rel)) reset_preview_session(ctl);
}

}  // namespace vel
