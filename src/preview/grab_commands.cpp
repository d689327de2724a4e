// The developer grab commands: one frame to a PPM file, and the live grab
// that renders and shows the playhead's frame as it moves.
#include <algorithm>

#include "cache/frame_cache_ops.h"
#include "core/file_replace.h"
#include "core/format.h"
#include "core/log.h"
#include "core/paths.h"
#include "host/frame_timing.h"
#include "host/item_calls.h"
#include "host/render_calls.h"
#include "preview/grab_ppm.h"
#include "preview/inprocess_render.h"
#include "preview/preview_controller.h"

namespace vel {

Result<std::string> grab_frame_command(PreviewController& ctl) {
  auto dir = log_dir();
  if (!dir) return err("grab: no log folder");
  std::error_code ec;
  std::filesystem::create_directories(*dir, ec);
  return grab_frame_to(ctl, (*dir / "velocinta_grab.ppm").string());
}

namespace {

// The composition to grab: the pinned one, else (before the first tick has
// pinned anything) the active item when it is a composition.
ItemH grab_target(PreviewController& ctl) {
  if (ctl.pinned_handle && ctl.timing) return ctl.pinned_handle;
  auto active = active_item();
  if (!active || !active.value() || !comp_frame_timing(*active.value())) return nullptr;
  return *active.value();
}

}  // namespace

Result<std::string> grab_frame_to(PreviewController& ctl, const std::string& path) {
  if (auto st = keep_render_suites(); !st) return err("grab: render suites: " + to_string(st.error()));
  ItemH item = grab_target(ctl);
  if (item == nullptr) return err("grab: " + GrabError::no_active_comp().describe());
  auto now = item_current_time(item);
  if (!now) return err("grab: current time: " + to_string(now.error()));
  apply_panel_choices(ctl);
  const uint32_t ds = effective_downsample(ctl);
  const FrameKey key{now.value().value, now.value().scale};
  auto g = [&]() -> Result<GrabbedFrame, GrabError> {
    if (item == ctl.pinned_handle) {
      if (auto raster = grab_pinned_frame(ctl, key, ds)) return std::move(*raster);
    }
    auto host = render_frame_sync(RenderRequest{item, ctl.plugin_id, key, ds, ctl.depth_bpc});
    if (host) record_inprocess_render_time(ctl, ds, host.value().render_ms);
    return host;
  }();
  if (!g) return err("grab: " + g.error().describe());
  const auto bytes = ppm_bytes(g.value().pixels.bytes(), g.value().width, g.value().height);
  if (auto st = replace_file(path, bytes); !st) return err("grab: " + st.error());
  log_line("INFO", "grab: " + path + " " + std::to_string(g.value().width) + "x" +
                       std::to_string(g.value().height) + " ds=" + std::to_string(ds) +
                       " bpc=" + std::to_string(ctl.depth_bpc) + " render_ms=" + fmt_2dp(g.value().render_ms) +
                       " convert_ms=" + fmt_2dp(g.value().convert_ms));
  return path;
}

bool toggle_live_grab(PreviewController& ctl) {
  ctl.live_grab = !ctl.live_grab;
  ctl.live_grab_last.reset();
  log_line("INFO", ctl.live_grab ? "live grab: on" : "live grab: off");
  return ctl.live_grab;
}

void live_grab_step(PreviewController& ctl, FrameCache& cache, const PreviewTickInputs& in) {
  (void)in;
  if (!ctl.live_grab || !ctl.pinned_handle) return;
  auto key = frame_key_of(ctl, ctl.playhead.frame);
  if (!key) return;
  if (ctl.live_grab_last == key && ctl.live_grab_edits == ctl.edits.edits) return;
  ctl.live_grab_last = key;
  ctl.live_grab_edits = ctl.edits.edits;
  const uint32_t ds = effective_downsample(ctl);
  // Shown at once, even while edits settle: this is what the command is for.
  const uint32_t want = downsampled_size(static_cast<uint32_t>(std::max(ctl.comp_size.width, 0)), ds);
  if (auto cached = cached_frame(cache, *key); cached && cached->width >= want) {
    present_frame_to_panel(ctl, *cached, *key);
    return;
  }
  auto g = [&]() -> Result<GrabbedFrame, GrabError> {
    if (auto raster = grab_pinned_frame(ctl, *key, ds)) return std::move(*raster);
    auto host = render_frame_sync(RenderRequest{ctl.pinned_handle, ctl.plugin_id, *key, ds, ctl.depth_bpc});
    if (host) record_inprocess_render_time(ctl, ds, host.value().render_ms);
    return host;
  }();
  if (!g) {
    log_line("ERROR", "live grab: " + g.error().describe());
    return;
  }
  if (cache_rendered_frame(cache, *key, g.value().to_rgba_frame())) {
    if (ctl.counters.sync_frames != UINT64_MAX) ++ctl.counters.sync_frames;
    note_frame_road(ctl, cache, *key, FrameRoad::Sync);
  }
  present_frame_to_panel(ctl, g.value().to_rgba_frame(), *key);
}

}  // namespace vel
