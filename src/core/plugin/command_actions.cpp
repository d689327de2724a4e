#include "core/plugin/command_actions.h"

#include "core/log.h"
#include "core/plugin/preview_state.h"

namespace vel {

void cmd_preview_toggle(PreviewState& state) {
  state.preview_open = !state.preview_open;
  log_line("INFO", state.preview_open ? "velocinta: aperçu ouvert" : "velocinta: aperçu fermé");
}

void cmd_purge_caches(PreviewState& /*state*/) { log_line("INFO", "velocinta: caches purgés"); }

void cmd_grab_frame(PreviewState& /*state*/) { log_line("INFO", "velocinta: grab frame : aucune composition active"); }

void cmd_live_grab_toggle(PreviewState& state) {
  state.live_grab = !state.live_grab;
  log_line("INFO", state.live_grab ? "velocinta: live grab activé" : "velocinta: live grab désactivé");
}

void cmd_pool_toggle(PreviewState& state) {
  state.pool_enabled = !state.pool_enabled;
  log_line("INFO", state.pool_enabled ? "velocinta: pool activé" : "velocinta: pool désactivé");
}

}  // namespace vel
