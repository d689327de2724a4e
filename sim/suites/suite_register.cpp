#include "hostsdk/register_suite.h"
#include "simhost/host.h"
#include "suites/suites.h"

namespace sim {
namespace {

A_Err RegisterCommandHook(AEGP_PluginID plugin, AEGP_HookPriority priority, AEGP_Command command,
                          AEGP_CommandHook hook, AEGP_CommandRefcon refcon) {
  Host& h = host();
  if (plugin != kPluginId || !hook) return A_Err_PARAMETER;
  if (priority != AEGP_HP_BeforeAE && priority != AEGP_HP_AfterAE) return A_Err_PARAMETER;
  if (!h.hooks.command_known(command)) return A_Err_PARAMETER;
  h.hooks.add_command_hook(CommandHookEntry{plugin, priority, command, hook, refcon});
  return A_Err_NONE;
}

A_Err RegisterUpdateMenuHook(AEGP_PluginID plugin, AEGP_UpdateMenuHook hook, AEGP_UpdateMenuRefcon refcon) {
  if (plugin != kPluginId || !hook) return A_Err_PARAMETER;
  host().hooks.set_update_menu_hook(UpdateMenuHookEntry{plugin, hook, refcon});
  return A_Err_NONE;
}

A_Err RegisterDeathHook(AEGP_PluginID plugin, AEGP_DeathHook hook, AEGP_DeathRefcon refcon) {
  if (plugin != kPluginId || !hook) return A_Err_PARAMETER;
  host().hooks.set_death_hook(DeathHookEntry{plugin, hook, refcon});
  return A_Err_NONE;
}

A_Err RegisterIdleHook(AEGP_PluginID plugin, AEGP_IdleHook hook, AEGP_IdleRefcon refcon) {
  if (plugin != kPluginId || !hook) return A_Err_PARAMETER;
  host().hooks.set_idle_hook(IdleHookEntry{plugin, hook, refcon});
  return A_Err_NONE;
}

// The host keeps the module's record and callbacks: its Output Module
// Templates dialog offers the module's format and calls the module when a
// user makes a template of it (output_templates_dialog.h).
A_Err RegisterIO(AEGP_PluginID plugin, AEGP_IORefcon, const AEIO_ModuleInfo* info, const AEIO_FunctionBlock* fns) {
  if (plugin != kPluginId || !info || !fns) return A_Err_PARAMETER;
  return host().hooks.add_output_module(*info, *fns) ? A_Err_NONE : A_Err_PARAMETER;
}

const AEGP_RegisterSuite6 kSuite = {RegisterCommandHook, RegisterUpdateMenuHook, RegisterDeathHook, RegisterIdleHook,
                                    RegisterIO};

}  // namespace

void publish_register_suite(SuiteRegistry& r) {
  r.publish(kAEGPRegisterSuite, kAEGPRegisterSuiteVersion6, &kSuite);
}

}  // namespace sim
