#include "core/plugin/commands.h"

#include <optional>
#include <string>

#include "core/ffi_boundary.h"
#include "core/log.h"
#include "core/plugin/command_actions.h"
#include "core/plugin/preview_state.h"

namespace vel {
namespace {

struct RegisteredCommand {
  CommandId id;
  CommandKind kind;
};

// Main thread only (registration, menu updates and hooks all run there).
std::vector<RegisteredCommand>& registered() {
  static std::vector<RegisteredCommand>& r = *new std::vector<RegisteredCommand>;
  return r;
}

int32_t command_hook(void* plugin_refcon, void* /*refcon*/, CommandId command, int32_t /*priority*/,
                     uint8_t already_handled, uint8_t* handled) {
  return ffi_boundary("command_hook", int32_t{0}, [&] {
    if (already_handled) return int32_t{0};
    // The state may not exist yet: hooks are registered before it is built.
    if (run_command(static_cast<PreviewState*>(plugin_refcon), command) && handled) *handled = 1;
    return int32_t{0};
  });
}

}  // namespace

const std::vector<CommandSpec>& command_specs() {
  static const std::vector<CommandSpec>& specs = *new std::vector<CommandSpec>{
      {CommandKind::PreviewToggle, "Velocinta", HostMenu::Window, false},
      {CommandKind::PurgeCaches, "Purge Velocinta", HostMenu::Purge, false},
      {CommandKind::DevPing, "velocinta: ping", HostMenu::Window, true},
      {CommandKind::DevGrabFrame, "velocinta: grab frame", HostMenu::Window, true},
      {CommandKind::DevLiveGrab, "velocinta: live grab (toggle)", HostMenu::Window, true},
      {CommandKind::DevDumpComp, "velocinta: dump comp", HostMenu::Window, true},
      {CommandKind::DevDirtyProbe, "velocinta: dirty probe (S4)", HostMenu::Window, true},
      {CommandKind::DevSnapshotProbe, "velocinta: snapshot probe (S3.1)", HostMenu::Window, true},
      {CommandKind::DevCacheInjectProbe, "velocinta: cache inject probe (S10)", HostMenu::Window, true},
      {CommandKind::DevAepProbe, "velocinta: aep probe", HostMenu::Window, true},
      {CommandKind::DevPoolToggle, "velocinta: pool (toggle)", HostMenu::Window, true},
  };
  return specs;
}

void register_menu_commands(PluginId plugin_id, bool with_developer) {
  for (const CommandSpec& spec : command_specs()) {
    if (spec.developer && !with_developer) continue;
    auto id = unique_command_id();
    if (!id) {
      log_line("ERROR", std::string("commande « ") + spec.name + " » : " + to_string(id.error()));
      continue;
    }
    if (auto r = insert_menu_command(id.value(), spec.name, spec.menu); !r) {
      log_line("ERROR", std::string("commande « ") + spec.name + " » : " + to_string(r.error()));
      continue;
    }
    if (auto r = register_command_hook(plugin_id, id.value(), &command_hook, nullptr); !r) {
      log_line("ERROR", std::string("commande « ") + spec.name + " » : " + to_string(r.error()));
      continue;
    }
    registered().push_back({id.value(), spec.kind});
  }
}

namespace {

// The check mark of a toggle command; none for commands without one.
std::optional<bool> command_check_mark(CommandKind kind, const PreviewState* state) {
  switch (kind) {
    case CommandKind::PreviewToggle: return state != nullptr && state->preview_open;
    case CommandKind::DevLiveGrab: return state != nullptr && state->preview.live_grab;
    case CommandKind::DevPoolToggle: return state != nullptr && state->pool_enabled;
    default: return std::nullopt;
  }
}

}  // namespace

void update_menu_commands(const PreviewState* state) {
  for (const RegisteredCommand& c : registered()) {
    (void)enable_command(c.id, true);
    if (auto checked = command_check_mark(c.kind, state)) (void)check_menu_command(c.id, *checked);
  }
}

bool run_command(PreviewState* state, CommandId command) {
  for (const RegisteredCommand& c : registered()) {
    if (c.id != command) continue;
    if (state == nullptr) {
      log_line("INFO", "velocinta: commande ignorée, le plug-in n'est pas encore prêt");
      return true;
    }
    run_command_kind(*state, c.kind);
    return true;
  }
  return false;
}

void run_command_kind(PreviewState& state, CommandKind kind) {
  switch (kind) {
    case CommandKind::PreviewToggle: cmd_preview_toggle(state); break;
    case CommandKind::PurgeCaches: cmd_purge_caches(state); break;
    case CommandKind::DevPing: log_line("INFO", "velocinta: pong"); break;
    case CommandKind::DevGrabFrame: cmd_grab_frame(state); break;
    case CommandKind::DevLiveGrab: cmd_live_grab_toggle(state); break;
    case CommandKind::DevPoolToggle: cmd_pool_toggle(state); break;
    case CommandKind::DevDumpComp: cmd_dump_comp(state); break;
    case CommandKind::DevDirtyProbe:
    case CommandKind::DevSnapshotProbe:
    case CommandKind::DevCacheInjectProbe:
    case CommandKind::DevAepProbe:
      for (const CommandSpec& s : command_specs()) {
        if (s.kind == kind) log_line("INFO", std::string(s.name) + " : pas encore disponible dans cette version");
      }
      break;
  }
}

}  // namespace vel
