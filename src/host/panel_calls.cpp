#include "host/panel_calls.h"

#include <string>
#include <type_traits>

#include "host/suite_access.h"

namespace vel {

static_assert(std::is_same_v<CreatePanelHookFn, AEGP_CreatePanelHook>);

Status<AeError> register_panel(PluginId plugin_id, std::string_view match_name, CreatePanelHookFn hook,
                               void* refcon) {
  if (match_name.empty() || match_name.find('\0') != std::string_view::npos)
    return Err{AeError(AeErrorKind::InvalidParms)};
  VEL_TRY_SUITE(panels, AEGP_WorkspacePanelSuite1);
  std::string z(match_name);
  return check_ae(panels->RegisterCreatePanelHook(plugin_id, reinterpret_cast<const A_u_char*>(z.c_str()), hook,
                                                  refcon, 0));
}

namespace {

A_Err no_snap_sizes(AEGP_PanelRefcon, A_LPoint*, A_long* num_sizes) {
  if (num_sizes != nullptr) *num_sizes = 0;
  return A_Err_NONE;
}
A_Err empty_flyout(AEGP_PanelRefcon, void*) { return A_Err_NONE; }
A_Err ignore_flyout_command(AEGP_PanelRefcon, AEGP_Command) { return A_Err_NONE; }

}  // namespace

void fill_plain_panel_functions(::AEGP_PanelFunctions1* functions) {
  if (functions == nullptr) return;
  functions->GetSnapSizes = &no_snap_sizes;
  functions->PopulateFlyout = &empty_flyout;
  functions->DoFlyoutCommand = &ignore_flyout_command;
}

Status<AeError> set_panel_title(PanelH panel, std::string_view title) {
  VEL_TRY_SUITE(panels, AEGP_WorkspacePanelSuite1);
  std::string z(title.substr(0, title.find('\0')));
  return check_ae(panels->SetTitle(panel, reinterpret_cast<const A_u_char*>(z.c_str())));
}

}  // namespace vel
