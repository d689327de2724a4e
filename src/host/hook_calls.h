// Registration of the plug-in's hooks and menu commands (Register and
// Command suites). The hook types are the host's own signatures, spelled
// without its headers. Main thread only.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/result.h"
#include "host/ae_error.h"
#include "host/handles.h"

namespace vel {

// plugin_refcon is the global refcon returned at entry; refcon the one given
// at registration. Every hook returns 0 or a host error code.
using IdleHookFn = int32_t (*)(void* plugin_refcon, void* refcon, int32_t* max_sleep_ms);
using CommandHookFn = int32_t (*)(void* plugin_refcon, void* refcon, CommandId command, int32_t hook_priority,
                                  uint8_t already_handled, uint8_t* handled);
using UpdateMenuHookFn = int32_t (*)(void* plugin_refcon, void* refcon, int32_t active_window);
using DeathHookFn = int32_t (*)(void* plugin_refcon, void* refcon);

enum class HookPriority : int32_t { BeforeHost = 1, AfterHost = 2 };

Status<AeError> register_idle_hook(PluginId plugin_id, IdleHookFn hook, void* refcon);
Status<AeError> register_command_hook(PluginId plugin_id, CommandId command, CommandHookFn hook, void* refcon,
                                      HookPriority priority = HookPriority::BeforeHost);
Status<AeError> register_update_menu_hook(PluginId plugin_id, UpdateMenuHookFn hook, void* refcon);
Status<AeError> register_death_hook(PluginId plugin_id, DeathHookFn hook, void* refcon);

enum class HostMenu { File, Edit, Composition, Layer, Effect, Window, Purge };

// Positions for insert_menu_command besides a 0-based index.
inline constexpr int32_t kMenuInsertSorted = -2;
inline constexpr int32_t kMenuInsertAtBottom = -1;
inline constexpr int32_t kMenuInsertAtTop = 0;

// A command id no other command of the process uses.
Result<CommandId, AeError> unique_command_id();
// Names are UTF-8 without zero bytes (refused with InvalidParms).
Status<AeError> insert_menu_command(CommandId command, std::string_view name, HostMenu menu,
                                    int32_t position = kMenuInsertSorted);
Status<AeError> set_menu_command_name(CommandId command, std::string_view name);
Status<AeError> enable_command(CommandId command, bool enabled);
Status<AeError> check_menu_command(CommandId command, bool checked);

}  // namespace vel
