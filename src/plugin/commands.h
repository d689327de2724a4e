// The plug-in's menu commands: the two user commands, and the developer
// probes registered only under VELOCINTA_DEV.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "host/handles.h"
#include "host/hook_calls.h"

namespace vel {

struct PreviewState;

enum class CommandKind : uint8_t {
  PreviewToggle,
  PurgeCaches,
  DevPing,
  DevGrabFrame,
  DevLiveGrab,
  DevDumpComp,
  DevDirtyProbe,
  DevSnapshotProbe,
  DevCacheInjectProbe,
  DevAepProbe,
  DevPoolToggle,
};

struct CommandSpec {
  CommandKind kind;
  const char* name;  // as shown in the menu
  HostMenu menu;
  bool developer;
};

// Every command, user ones first.
const std::vector<CommandSpec>& command_specs();

// Registers the menu entries and their hook; developer commands only when
// `with_developer`. A failure for one command is logged and the others go on.
void register_menu_commands(PluginId plugin_id, bool with_developer);

// Enables the registered commands and sets their check marks from `state`
// (null before the state exists).
void update_menu_commands(const PreviewState* state);

// Runs the command registered under `command`; false when it is not ours.
bool run_command(PreviewState* state, CommandId command);
// Runs a command by kind (the menu-independent part, for tests).
void run_command_kind(PreviewState& state, CommandKind kind);

}  // namespace vel
