#include <cstring>

#include "host.h"
#include "hostsdk/workspace_panel_suite.h"
#include "suites.h"

namespace sim {
namespace {

// The stand-in has no windows: a panel is registered and listed, but its
// container is never created, so its creation hook is never called.
A_Err RegisterCreatePanelHook(AEGP_PluginID plugin, const A_u_char* match_name, AEGP_CreatePanelHook hook,
                              AEGP_CreatePanelRefcon, A_Boolean) {
  if (plugin != kPluginId || !match_name || !hook) return A_Err_PARAMETER;
  std::string name(reinterpret_cast<const char*>(match_name));
  return host().hooks.add_panel(name) ? A_Err_NONE : A_Err_PARAMETER;
}

A_Err UnRegisterCreatePanelHook(const A_u_char* match_name) {
  if (!match_name) return A_Err_PARAMETER;
  std::string name(reinterpret_cast<const char*>(match_name));
  return host().hooks.remove_panel(name) ? A_Err_NONE : A_Err_PARAMETER;
}

A_Err SetTitle(AEGP_PanelH panel, const A_u_char* title) {
  if (!panel || !title) return A_Err_PARAMETER;
  return A_Err_NONE;
}

const AEGP_WorkspacePanelSuite1 kSuite = {RegisterCreatePanelHook, UnRegisterCreatePanelHook, SetTitle};

}  // namespace

void publish_workspace_panel_suite(SuiteRegistry& r) {
  r.publish(kAEGPWorkspacePanelSuite, kAEGPWorkspacePanelSuiteVersion1, &kSuite);
}

}  // namespace sim
