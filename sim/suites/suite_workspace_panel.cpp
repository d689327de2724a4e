#include <cstring>

#include "hostsdk/workspace_panel_suite.h"
#include "simhost/host.h"
#include "suites/suites.h"

namespace sim {
namespace {

// A registered panel is created when the scenario opens it (the user picks
// it from the Window menu): the host then calls its creation hook.
A_Err RegisterCreatePanelHook(AEGP_PluginID plugin, const A_u_char* match_name, AEGP_CreatePanelHook hook,
                              AEGP_CreatePanelRefcon refcon, A_Boolean) {
  if (plugin != kPluginId || !match_name || !hook) return A_Err_PARAMETER;
  PanelEntry entry{reinterpret_cast<const char*>(match_name), hook, refcon};
  return host().hooks.add_panel(entry) ? A_Err_NONE : A_Err_PARAMETER;
}

A_Err UnRegisterCreatePanelHook(const A_u_char* match_name) {
  if (!match_name) return A_Err_PARAMETER;
  std::string name(reinterpret_cast<const char*>(match_name));
  return host().hooks.remove_panel(name) ? A_Err_NONE : A_Err_PARAMETER;
}

A_Err SetTitle(AEGP_PanelH panel, const A_u_char* title) {
  if (!panel || !title) return A_Err_PARAMETER;
  if (!on_main_thread()) return A_Err_GENERIC;
  DockedPanel* p = host().panels.by_handle(panel);
  if (p == nullptr) return A_Err_PARAMETER;
  p->title = reinterpret_cast<const char*>(title);
  return A_Err_NONE;
}

const AEGP_WorkspacePanelSuite1 kSuite = {RegisterCreatePanelHook, UnRegisterCreatePanelHook, SetTitle};

}  // namespace

void publish_workspace_panel_suite(SuiteRegistry& r) {
  r.publish(kAEGPWorkspacePanelSuite, kAEGPWorkspacePanelSuiteVersion1, &kSuite);
}

}  // namespace sim
