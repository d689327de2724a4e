// What the plug-in registered: menu commands and the hooks the host calls
// (idle, command, update-menu, death), plus output modules and panels, which
// are only recorded. Suite calls fill it; the run loop reads copies of it so
// that a hook may register more while it runs.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hostsdk/hooks.h"
#include "hostsdk/io.h"
#include "hostsdk/types.h"
#include "hostsdk/workspace_panel_suite.h"

namespace sim {

struct MenuCommand {
  AEGP_Command id = 0;
  std::string name;
  AEGP_MenuID menu = AEGP_Menu_NONE;
  bool in_menu = false;
  bool enabled = true;
  bool checked = false;
};

struct CommandHookEntry {
  AEGP_PluginID plugin = 0;
  AEGP_HookPriority priority = AEGP_HP_BeforeAE;
  AEGP_Command command = 0;
  AEGP_CommandHook hook = nullptr;
  AEGP_CommandRefcon refcon = nullptr;
};

template <class Hook, class Refcon>
struct PluginHook {
  AEGP_PluginID plugin = 0;
  Hook hook = nullptr;
  Refcon refcon = nullptr;
};
using IdleHookEntry = PluginHook<AEGP_IdleHook, AEGP_IdleRefcon>;
using DeathHookEntry = PluginHook<AEGP_DeathHook, AEGP_DeathRefcon>;
using UpdateMenuHookEntry = PluginHook<AEGP_UpdateMenuHook, AEGP_UpdateMenuRefcon>;

// A workspace panel the plug-in registered: the host calls `hook` when it
// creates the panel's container.
struct PanelEntry {
  std::string match_name;
  AEGP_CreatePanelHook hook = nullptr;
  AEGP_CreatePanelRefcon refcon = nullptr;
};

// An output module the plug-in registered through RegisterIO: its record
// and its callbacks, which the host calls from its Output Module Templates
// dialog (output_templates_dialog.h).
struct OutputModuleEntry {
  AEIO_ModuleInfo info{};
  AEIO_FunctionBlock functions{};
  std::string name() const;
};

struct HookCounts {
  uint64_t idle = 0, command = 0, update_menu = 0, death = 0, output_modules = 0, panels = 0;
};

class HookTable {
 public:
  // Command ids: unique in the process, never 0.
  AEGP_Command new_command();
  bool command_known(AEGP_Command id) const;
  bool insert_menu_command(AEGP_Command id, const std::string& name, AEGP_MenuID menu);
  bool remove_menu_command(AEGP_Command id);
  bool rename_command(AEGP_Command id, const std::string& name);
  bool enable_command(AEGP_Command id, bool enabled);
  bool check_command(AEGP_Command id, bool checked);
  // The first command shown in a menu under that name.
  std::optional<MenuCommand> find_menu_command(const std::string& name) const;
  std::vector<MenuCommand> menu_commands() const;

  void add_command_hook(const CommandHookEntry& entry);
  // One hook of each kind per plug-in: a second registration replaces it.
  void set_idle_hook(const IdleHookEntry& entry);
  void set_death_hook(const DeathHookEntry& entry);
  void set_update_menu_hook(const UpdateMenuHookEntry& entry);
  // False, registering nothing, for a record the host refuses: a name
  // without its terminating zero, no output or file flag, or a signature
  // already registered.
  bool add_output_module(const AEIO_ModuleInfo& info, const AEIO_FunctionBlock& functions);
  bool add_panel(const PanelEntry& entry);
  bool remove_panel(const std::string& match_name);

  std::vector<CommandHookEntry> command_hooks_for(AEGP_Command id) const;
  std::vector<IdleHookEntry> idle_hooks() const;
  std::vector<DeathHookEntry> death_hooks() const;
  std::vector<UpdateMenuHookEntry> update_menu_hooks() const;
  std::vector<std::string> output_module_names() const;
  std::vector<OutputModuleEntry> output_modules() const;
  std::vector<std::string> panel_names() const;
  std::optional<PanelEntry> find_panel(const std::string& match_name) const;
  // Registrations made, counted by kind (a replacement counts again).
  HookCounts counts() const;

 private:
  template <class Entry>
  static void replace_for_plugin(std::vector<Entry>& list, const Entry& entry);

  mutable std::mutex mu_;
  AEGP_Command next_command_ = 1000;
  std::vector<AEGP_Command> issued_;
  std::vector<MenuCommand> commands_;
  std::vector<CommandHookEntry> command_hooks_;
  std::vector<IdleHookEntry> idle_;
  std::vector<DeathHookEntry> death_;
  std::vector<UpdateMenuHookEntry> update_menu_;
  std::vector<OutputModuleEntry> output_modules_;
  std::vector<PanelEntry> panels_;
  HookCounts counts_;
};

}  // namespace sim
