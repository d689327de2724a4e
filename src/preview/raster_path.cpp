// The preview controller's raster road: which renderer takes a newly pinned
// composition, and the grab that a held raster comp draws itself.
#include "core/log.h"
#include "core/machine.h"
#include "core/switches.h"
#include "preview/preview_controller.h"
#include "raster/introspect_comp.h"
#include "raster/preview_topology.h"
#include "raster/raster_frame.h"

namespace vel {

void classify_preview_topology(PreviewController& ctl, ItemH comp_item) {
  classify_preview_topology(ctl, comp_item, [] { return mono_ns(); });
}

void classify_preview_topology(PreviewController& ctl, ItemH comp_item, const std::function<uint64_t()>& now_ns) {
  ctl.raster_comp.reset();
  // A fill of the comp as it was read before is of no use now.
  renew_job_slot(ctl.raster_slot);
  ctl.raster_fill_armed.reset();
  ctl.raster_reread = false;
  const uint64_t start = mono_ns();
  auto scan = scan_preview_topology(comp_item, now_ns);
  const double elapsed_ms = static_cast<double>(mono_ns() - start) / 1e6;
  const RasterDecision d = decide_raster_path(scan, elapsed_ms, {raster_enabled(), ctl.raster_blocked},
                                              [&] { return introspect_comp(ctl.plugin_id, comp_item); });
  ctl.comp_is_3d = d.comp_is_3d;
  for (const std::string& record : d.perf_records) perf_log(record);
  // A scan that ran out of time is made again once quiet, a few times: its
  // answer, 3D, would keep the pool from a 2-D composition all session.
  if (d.scan_timed_out && ctl.topology_rescans < kTopologyRescans) {
    ++ctl.topology_rescans;
    ctl.raster_reread = true;
  }
  if (!d.raster_comp) return;
  // The host's paths step aside: what they were asked for is not wanted.
  cancel_async_renders(ctl);
  ctl.last_decision.reset();
  ctl.raster_comp = d.raster_comp;
}

void reset_preview_session(PreviewController& ctl) {
  reset_timing_trackers(ctl);
  ctl.raster_comp.reset();
  renew_job_slot(ctl.raster_slot);
  ctl.raster_fill_armed.reset();
  ctl.raster_reread = false;
  ctl.last_decision.reset();
}

std::optional<GrabbedFrame> grab_pinned_frame(PreviewController& ctl, FrameKey key, uint32_t downsample) {
  if (!ctl.raster_comp || key.scale == 0) return std::nullopt;
  const uint32_t ds = downsample < 2 ? 1 : downsample;
  const double t = static_cast<double>(key.value) / static_cast<double>(key.scale);
  const uint64_t start = mono_ns();
  auto frame = render_raster_frame(*ctl.raster_comp, ds, pipeline_optimize_enabled(), t);
  if (!frame) {
    reset_preview_session(ctl);
    return std::nullopt;
  }
  GrabbedFrame g;
  g.width = frame.value().width;
  g.height = frame.value().height;
  g.pixels = PixelPayload::adopt(std::move(frame.value().pixels));
  g.downsample = ds;
  g.time = t;
  g.render_ms = static_cast<double>(mono_ns() - start) / 1e6;
  return g;
}

}  // namespace vel
