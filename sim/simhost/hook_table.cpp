#include "simhost/hook_table.h"

#include <algorithm>
#include <cstring>

namespace sim {

AEGP_Command HookTable::new_command() {
  std::lock_guard<std::mutex> lock(mu_);
  AEGP_Command id = next_command_++;
  issued_.push_back(id);
  return id;
}

bool HookTable::command_known(AEGP_Command id) const {
  std::lock_guard<std::mutex> lock(mu_);
  return std::find(issued_.begin(), issued_.end(), id) != issued_.end();
}

bool HookTable::insert_menu_command(AEGP_Command id, const std::string& name, AEGP_MenuID menu) {
  std::lock_guard<std::mutex> lock(mu_);
  if (std::find(issued_.begin(), issued_.end(), id) == issued_.end()) return false;
  for (MenuCommand& c : commands_) {
    if (c.id == id) {
      c.name = name;
      c.menu = menu;
      c.in_menu = true;
      return true;
    }
  }
  commands_.push_back(MenuCommand{id, name, menu, true, true, false});
  return true;
}

bool HookTable::remove_menu_command(AEGP_Command id) {
  std::lock_guard<std::mutex> lock(mu_);
  for (MenuCommand& c : commands_) {
    if (c.id == id && c.in_menu) {
      c.in_menu = false;
      return true;
    }
  }
  return false;
}

bool HookTable::rename_command(AEGP_Command id, const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  for (MenuCommand& c : commands_) {
    if (c.id == id) {
      c.name = name;
      return true;
    }
  }
  return false;
}

bool HookTable::enable_command(AEGP_Command id, bool enabled) {
  std::lock_guard<std::mutex> lock(mu_);
  for (MenuCommand& c : commands_) {
    if (c.id == id) {
      c.enabled = enabled;
      return true;
    }
  }
  return false;
}

bool HookTable::check_command(AEGP_Command id, bool checked) {
  std::lock_guard<std::mutex> lock(mu_);
  for (MenuCommand& c : commands_) {
    if (c.id == id) {
      c.checked = checked;
      return true;
    }
  }
  return false;
}

std::optional<MenuCommand> HookTable::find_menu_command(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const MenuCommand& c : commands_) {
    if (c.in_menu && c.name == name) return c;
  }
  return std::nullopt;
}

std::vector<MenuCommand> HookTable::menu_commands() const {
  std::lock_guard<std::mutex> lock(mu_);
  return commands_;
}

void HookTable::add_command_hook(const CommandHookEntry& entry) {
  std::lock_guard<std::mutex> lock(mu_);
  command_hooks_.push_back(entry);
  ++counts_.command;
}

template <class Entry>
void HookTable::replace_for_plugin(std::vector<Entry>& list, const Entry& entry) {
  for (Entry& e : list) {
    if (e.plugin == entry.plugin) {
      e = entry;
      return;
    }
  }
  list.push_back(entry);
}

void HookTable::set_idle_hook(const IdleHookEntry& entry) {
  std::lock_guard<std::mutex> lock(mu_);
  replace_for_plugin(idle_, entry);
  ++counts_.idle;
}

void HookTable::set_death_hook(const DeathHookEntry& entry) {
  std::lock_guard<std::mutex> lock(mu_);
  replace_for_plugin(death_, entry);
  ++counts_.death;
}

void HookTable::set_update_menu_hook(const UpdateMenuHookEntry& entry) {
  std::lock_guard<std::mutex> lock(mu_);
  replace_for_plugin(update_menu_, entry);
  ++counts_.update_menu;
}

std::string OutputModuleEntry::name() const { return std::string(info.name, strnlen(info.name, sizeof info.name)); }

bool HookTable::add_output_module(const AEIO_ModuleInfo& info, const AEIO_FunctionBlock& functions) {
  if (std::memchr(info.name, 0, sizeof info.name) == nullptr) return false;
  if ((info.flags & (AEIO_MFlag_OUTPUT | AEIO_MFlag_FILE)) != (AEIO_MFlag_OUTPUT | AEIO_MFlag_FILE)) return false;
  std::lock_guard<std::mutex> lock(mu_);
  for (const OutputModuleEntry& m : output_modules_) {
    if (m.info.sig == info.sig) return false;
  }
  output_modules_.push_back(OutputModuleEntry{info, functions});
  ++counts_.output_modules;
  return true;
}

bool HookTable::add_panel(const PanelEntry& entry) {
  std::lock_guard<std::mutex> lock(mu_);
  auto same = [&](const PanelEntry& e) { return e.match_name == entry.match_name; };
  if (std::find_if(panels_.begin(), panels_.end(), same) != panels_.end()) return false;
  panels_.push_back(entry);
  ++counts_.panels;
  return true;
}

bool HookTable::remove_panel(const std::string& match_name) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = std::find_if(panels_.begin(), panels_.end(),
                         [&](const PanelEntry& e) { return e.match_name == match_name; });
  if (it == panels_.end()) return false;
  panels_.erase(it);
  return true;
}

std::vector<CommandHookEntry> HookTable::command_hooks_for(AEGP_Command id) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<CommandHookEntry> out;
  // The host's own handling sits between the two priorities: hooks that run
  // before it come first.
  for (AEGP_HookPriority p : {AEGP_HP_BeforeAE, AEGP_HP_AfterAE}) {
    for (const CommandHookEntry& e : command_hooks_) {
      if (e.command == id && e.priority == p) out.push_back(e);
    }
  }
  return out;
}

std::vector<IdleHookEntry> HookTable::idle_hooks() const {
  std::lock_guard<std::mutex> lock(mu_);
  return idle_;
}

std::vector<DeathHookEntry> HookTable::death_hooks() const {
  std::lock_guard<std::mutex> lock(mu_);
  return death_;
}

std::vector<UpdateMenuHookEntry> HookTable::update_menu_hooks() const {
  std::lock_guard<std::mutex> lock(mu_);
  return update_menu_;
}

std::vector<std::string> HookTable::output_module_names() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> names;
  for (const OutputModuleEntry& m : output_modules_) names.push_back(m.name());
  return names;
}

std::vector<OutputModuleEntry> HookTable::output_modules() const {
  std::lock_guard<std::mutex> lock(mu_);
  return output_modules_;
}

std::vector<std::string> HookTable::panel_names() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> names;
  for (const PanelEntry& e : panels_) names.push_back(e.match_name);
  return names;
}

std::optional<PanelEntry> HookTable::find_panel(const std::string& match_name) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const PanelEntry& e : panels_) {
    if (e.match_name == match_name) return e;
  }
  return std::nullopt;
}

HookCounts HookTable::counts() const {
  std::lock_guard<std::mutex> lock(mu_);
  return counts_;
}

}  // namespace sim
