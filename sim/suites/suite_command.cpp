#include "hostsdk/command_suite.h"
#include "simhost/host.h"
#include "suites/suites.h"

namespace sim {
namespace {

A_Err GetUniqueCommand(AEGP_Command* command) {
  if (!command) return A_Err_PARAMETER;
  *command = host().hooks.new_command();
  return A_Err_NONE;
}

A_Err InsertMenuCommand(AEGP_Command command, const A_char* name, AEGP_MenuID menu, A_long) {
  if (!name) return A_Err_PARAMETER;
  return host().hooks.insert_menu_command(command, name, menu) ? A_Err_NONE : A_Err_PARAMETER;
}

A_Err RemoveMenuCommand(AEGP_Command command) {
  return host().hooks.remove_menu_command(command) ? A_Err_NONE : A_Err_PARAMETER;
}

A_Err SetMenuCommandName(AEGP_Command command, const A_char* name) {
  if (!name) return A_Err_PARAMETER;
  return host().hooks.rename_command(command, name) ? A_Err_NONE : A_Err_PARAMETER;
}

A_Err EnableCommand(AEGP_Command command) {
  return host().hooks.enable_command(command, true) ? A_Err_NONE : A_Err_PARAMETER;
}

A_Err DisableCommand(AEGP_Command command) {
  return host().hooks.enable_command(command, false) ? A_Err_NONE : A_Err_PARAMETER;
}

A_Err CheckMarkMenuCommand(AEGP_Command command, A_Boolean check) {
  return host().hooks.check_command(command, check != 0) ? A_Err_NONE : A_Err_PARAMETER;
}

const AEGP_CommandSuite1 kSuite = {GetUniqueCommand, InsertMenuCommand, RemoveMenuCommand, SetMenuCommandName,
                                   EnableCommand,    DisableCommand,    CheckMarkMenuCommand};

}  // namespace

void publish_command_suite(SuiteRegistry& r) { r.publish(kAEGPCommandSuite, kAEGPCommandSuiteVersion1, &kSuite); }

}  // namespace sim
