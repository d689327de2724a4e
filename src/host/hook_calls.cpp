#include "host/hook_calls.h"

#include <string>
#include <type_traits>

#include "host/suite_access.h"

namespace vel {

// The spelled-out hook types must be the host's, so hooks pass uncast.
static_assert(std::is_same_v<IdleHookFn, AEGP_IdleHook>);
static_assert(std::is_same_v<CommandHookFn, AEGP_CommandHook>);
static_assert(std::is_same_v<UpdateMenuHookFn, AEGP_UpdateMenuHook>);
static_assert(std::is_same_v<DeathHookFn, AEGP_DeathHook>);
static_assert(static_cast<int32_t>(HookPriority::BeforeHost) == AEGP_HP_BeforeAE);
static_assert(static_cast<int32_t>(HookPriority::AfterHost) == AEGP_HP_AfterAE);

Status<AeError> register_idle_hook(PluginId plugin_id, IdleHookFn hook, void* refcon) {
  VEL_TRY_SUITE(reg, AEGP_RegisterSuite6);
  return check_ae(reg->RegisterIdleHook(plugin_id, hook, refcon));
}

Status<AeError> register_command_hook(PluginId plugin_id, CommandId command, CommandHookFn hook, void* refcon,
                                      HookPriority priority) {
  VEL_TRY_SUITE(reg, AEGP_RegisterSuite6);
  return check_ae(reg->RegisterCommandHook(plugin_id, static_cast<AEGP_HookPriority>(priority), command, hook, refcon));
}

Status<AeError> register_update_menu_hook(PluginId plugin_id, UpdateMenuHookFn hook, void* refcon) {
  VEL_TRY_SUITE(reg, AEGP_RegisterSuite6);
  return check_ae(reg->RegisterUpdateMenuHook(plugin_id, hook, refcon));
}

Status<AeError> register_death_hook(PluginId plugin_id, DeathHookFn hook, void* refcon) {
  VEL_TRY_SUITE(reg, AEGP_RegisterSuite6);
  return check_ae(reg->RegisterDeathHook(plugin_id, hook, refcon));
}

namespace {

AEGP_MenuID host_menu_id(HostMenu menu) {
  switch (menu) {
    case HostMenu::File: return AEGP_Menu_FILE;
    case HostMenu::Edit: return AEGP_Menu_EDIT;
    case HostMenu::Composition: return AEGP_Menu_COMPOSITION;
    case HostMenu::Layer: return AEGP_Menu_LAYER;
    case HostMenu::Effect: return AEGP_Menu_EFFECT;
    case HostMenu::Window: return AEGP_Menu_WINDOW;
    case HostMenu::Purge: return AEGP_Menu_PURGE;
  }
  return AEGP_Menu_NONE;
}

bool has_zero(std::string_view s) { return s.find('\0') != std::string_view::npos; }

}  // namespace

Result<CommandId, AeError> unique_command_id() {
  VEL_TRY_SUITE(cmd, AEGP_CommandSuite1);
  AEGP_Command id = 0;
  if (auto st = check_ae(cmd->GetUniqueCommand(&id)); !st) return Err{st.error()};
  return id;
}

Status<AeError> insert_menu_command(CommandId command, std::string_view name, HostMenu menu, int32_t position) {
  if (has_zero(name)) return Err{AeError(AeErrorKind::InvalidParms)};
  VEL_TRY_SUITE(cmd, AEGP_CommandSuite1);
  std::string z(name);
  return check_ae(cmd->InsertMenuCommand(command, z.c_str(), host_menu_id(menu), position));
}

Status<AeError> set_menu_command_name(CommandId command, std::string_view name) {
  if (has_zero(name)) return Err{AeError(AeErrorKind::InvalidParms)};
  VEL_TRY_SUITE(cmd, AEGP_CommandSuite1);
  std::string z(name);
  return check_ae(cmd->SetMenuCommandName(command, z.c_str()));
}

Status<AeError> enable_command(CommandId command, bool enabled) {
  VEL_TRY_SUITE(cmd, AEGP_CommandSuite1);
  return check_ae(enabled ? cmd->EnableCommand(command) : cmd->DisableCommand(command));
}

Status<AeError> check_menu_command(CommandId command, bool checked) {
  VEL_TRY_SUITE(cmd, AEGP_CommandSuite1);
  return check_ae(cmd->CheckMarkMenuCommand(command, checked ? 1 : 0));
}

}  // namespace vel
