#include "plugin/command_actions.h"

#include "core/log.h"
#include "core/machine.h"
#include "plugin/pool_services.h"
#include "plugin/presentation.h"
#include "plugin/preview_reset.h"
#include "plugin/preview_state.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "preview/preview_controller.h"
#include "raster/comp_dump.h"

namespace vel {

void cmd_preview_toggle(PreviewState& state) {
  state.preview_open = !state.preview_open;
  if (!state.preview_open) save_cost_profile_at_teardown(state.store, state.preview);
  if (state.preview_open) {
    // The reset at the last close released the raster composition.
    state.preview.raster_reread = state.preview.pinned_handle != nullptr && !state.preview.raster_comp;
    open_presentation(state);
  } else {
    close_presentation(state);
    reset_preview_state(state, 0.0);
  }
  log_line("INFO", state.preview_open ? "velocinta: aperçu ouvert" : "velocinta: aperçu fermé");
}

void cmd_purge_caches(PreviewState& state) {
  purge_preview(state.preview, state.cache);
  purge_store(state.store, state.preview);
  restart_clock_in_place(state);
  invalidate_presentation(state);
  log_line("INFO", "velocinta: caches purgés");
}

void cmd_grab_frame(PreviewState& state) {
  auto path = grab_frame_command(state.preview);
  if (path) {
    log_line("INFO", "velocinta: grab frame → " + path.value());
  } else {
    log_line("ERROR", "velocinta: grab frame : " + path.error());
  }
}

void cmd_live_grab_toggle(PreviewState& state) {
  const bool on = toggle_live_grab(state.preview);
  log_line("INFO", on ? "velocinta: live grab activé" : "velocinta: live grab désactivé");
}

void cmd_pool_toggle(PreviewState& state) {
  state.pool_enabled = !state.pool_enabled;
  state.pool.pool_enabled = state.pool_enabled;
  if (!state.pool_enabled) stop_pool(state);
  log_line("INFO", state.pool_enabled ? "velocinta: pool activé" : "velocinta: pool désactivé");
}

void cmd_dump_comp(PreviewState& state) { dump_comp(state.plugin_id); }

}  // namespace vel
