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

Status<AeError> set_panel_title(PanelH panel, std::string_view title) {
  VEL_TRY_SUITE(panels, AEGP_WorkspacePanelSuite1);
  std::string z(title.substr(0, title.find('\0')));
  return check_ae(panels->SetTitle(panel, reinterpret_cast<const A_u_char*>(z.c_str())));
}

}  // namespace vel
