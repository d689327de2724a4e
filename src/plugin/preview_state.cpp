#include "plugin/preview_state.h"

#include "core/machine.h"
#include "memout/output_format.h"
#include "plugin/panel_steps.h"
#include "plugin/pool_preview_link.h"
#include "pool/runtime/pool_directory.h"

namespace vel {

PreviewState* new_preview_state(PluginId plugin_id, const PersistedOptions& loaded) {
  // Owned by the host for the life of the process: never deleted.
  auto* s = new PreviewState;
  s->plugin_id = plugin_id;
  s->persisted_options = loaded;
  s->preview = make_preview_controller(plugin_id, mono_ns());
  s->preview.present_hook = [s](const RgbaFrame& frame) { return present_in_active_panel(*s, frame); };
  take_panel_posts_as_seen(*s);
  s->pool = new_pool_runtime(static_cast<uint8_t>(worker_output_format()));
  // A pool folder that is not ours to use keeps the pool off for the
  // session; start-up said why. One held by another host only keeps it off
  // while that host lives: turning the pool on tries again.
  const auto& refused = pool_folder_refusal();
  s->pool.disabled_for_session = refused && !refused->held_elsewhere;
  link_preview_to_pool(*s);
  return s;
}

}  // namespace vel
