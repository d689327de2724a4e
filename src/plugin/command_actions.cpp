#include "plugin/command_actions.h"

#include "core/log.h"
#include "core/machine.h"
#include "plugin/orphan_outputs.h"
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

namespace {

// The pool folder for this host, taken now if a host that held it at load
// has ended since: its leftovers are purged as at load, and the memory
// outputs it left in it swept.
std::optional<PoolFolderRefusal> claim_pool_folder() {
  if (pool_folder_held()) return std::nullopt;
  auto refused = purge_pool_directory();
  if (!refused) sweep_orphan_memory_outputs();
  return refused;
}

}  // namespace

void cmd_pool_toggle(PreviewState& state) { toggle_pool(state, claim_pool_folder); }

void toggle_pool(PreviewState& state, const std::function<std::optional<PoolFolderRefusal>()>& claim_folder) {
  if (!state.pool_enabled && !state.pool.disabled_for_session) {
    if (auto refused = claim_folder()) {
      if (refused->held_elsewhere) {
        log_line("INFO", "velocinta: pool non activé — " + refused->reason);
        return;
      }
      disable_pool_for_session(state.pool, refused->reason);
    }
  }
  state.pool_enabled = !state.pool_enabled;
  state.pool.pool_enabled = state.pool_enabled;
  if (!state.pool_enabled) stop_pool(state);
  // On while off for the session: the panel says so, and so does the log.
  if (state.pool_enabled && state.pool.disabled_for_session) {
    log_line("INFO", "velocinta: pool non activé — désactivé pour la session");
    return;
  }
  log_line("INFO", state.pool_enabled ? "velocinta: pool activé" : "velocinta: pool désactivé");
}

void cmd_dump_comp(PreviewState& state) { dump_comp(state.plugin_id); }

}  // namespace vel
