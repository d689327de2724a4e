// The workspace panel (Workspace Panel suite). When the suite is missing
// the registration answers MissingSuite and the caller uses a floating
// window instead. Main thread only.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/result.h"
#include "host/ae_error.h"
#include "host/handles.h"

namespace vel {

// The host's create-panel hook signature. `container` is the host's view for
// the panel; `functions` is the host's pre-zeroed callback table, which may
// be left as it is; *panel_refcon is handed back to those callbacks.
using CreatePanelHookFn = int32_t (*)(void* plugin_refcon, void* refcon, void* container, PanelH panel,
                                      ::AEGP_PanelFunctions1* functions, void** panel_refcon);

// Registers the panel under `match_name` (UTF-8, no zero byte).
Status<AeError> register_panel(PluginId plugin_id, std::string_view match_name, CreatePanelHookFn hook,
                               void* refcon);
// Fills the host's callback table of a new panel: no snap sizes, an empty
// flyout menu, flyout commands ignored. A null table is left alone.
void fill_plain_panel_functions(::AEGP_PanelFunctions1* functions);

// Sets the panel's tab title (UTF-8; cut at a zero byte).
Status<AeError> set_panel_title(PanelH panel, std::string_view title);

}  // namespace vel
