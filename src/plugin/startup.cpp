#include "plugin/startup.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "core/ffi_boundary.h"
#include "core/log.h"
#include "core/options.h"
#include "core/paths.h"
#include "plugin/commands.h"
#include "plugin/hooks.h"
#include "plugin/panel_steps.h"
#include "plugin/preview_state.h"
#include "plugin/startup_mode.h"
#include "core/process_flags.h"
#include "core/switches.h"
#include "memout/output_format.h"
#include "core/threads.h"
#include "host/basic_suite_store.h"
#include "host/memory_output_module.h"
#include "host/panel_calls.h"
#include "host/render_calls.h"
#include "host/suite_probe.h"
#include "host/utility_calls.h"
#include "plugin/orphan_outputs.h"
#include "panel/update/update_check.h"
#include "pool/process/process_control.h"
#include "pool/runtime/pool_directory.h"
#include "pool/schedule/worker_capacity.h"

namespace vel {
namespace {

constexpr const char* kVersion = "0.1.0";

struct ProbePump {
  std::atomic<bool> stop{false};
  std::thread thread;
};
ProbePump& probe_pump() {
  static ProbePump& p = *new ProbePump;
  return p;
}

// Probe mode keeps the host's idle calls coming on its own, to measure how
// the host schedules them when nothing else asks.
void start_idle_probe_pump() {
  ProbePump& p = probe_pump();
  auto t = spawn_named_thread("velocinta-idle-probe", [&p] {
    while (!p.stop.load(std::memory_order_relaxed)) {
      request_early_idle();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  if (!t) {
    log_line("ERROR", "idle probe: pompe indisponible : " + t.error());
    return;
  }
  p.thread = std::move(t.value());
}

void load_line(int32_t major, int32_t minor, PluginId id, StartupMode mode) {
  log_line("INFO", std::string("velocinta ") + kVersion + " chargé (hôte " + std::to_string(major) + "." +
                       std::to_string(minor) + ", plugin " + std::to_string(id) + ", mode " + startup_mode_name(mode) +
                       ", workers " + std::to_string(pool_worker_count()) + ")");
}

}  // namespace

void stop_idle_probe_pump() {
  ProbePump& p = probe_pump();
  p.stop.store(true);
  if (p.thread.joinable()) p.thread.join();
}

StartupOutcome plugin_init(const SPBasicSuite* basic, int32_t host_major, int32_t host_minor, PluginId plugin_id) {
  store_basic_suite(basic);
  remember_main_thread();
  const StartupFacts facts = current_startup_facts();
  const StartupMode mode = choose_startup_mode(facts);
  // Memory output registers the module in every process, whatever else
  // start-up does: a render worker writes its frames through it (an inert
  // worker registers it and nothing else), and the host offers its format in
  // the Output Module Templates dialog only once the module is registered in
  // the host process, which is where the user makes the workers' template.
  if (worker_output_format() == WorkerOutputFormat::Memory) {
    if (auto r = register_memory_output(basic, plugin_id, facts.in_render_engine); !r) {
      log_line("ERROR", "memory output unavailable: " + r.error());
    }
  }
  if (mode == StartupMode::Inert) return {};

  // The load line comes first, so whatever loading the options reports reads
  // as part of this run's start-up rather than of the run before.
  open_log_file(facts.in_render_engine ? LogRole::Worker : LogRole::Host);
  load_line(host_major, host_minor, plugin_id, mode);
  PersistedOptions options;
  if (mode == StartupMode::Normal) {
    if (auto file = options_file_path()) {
      // The saved Size sizes the render engines, hence the Speed levels
      // this machine offers: the saved Speed keeps within them.
      options = load_persisted_options(*file, UINT64_MAX);  // capped just below
      panel_options().quality.store(options.quality);
      options.speed = std::min(options.speed, default_speed_level() - 1);
    }
    apply_persisted_options(options);
    log_line("INFO", "options: " + encode_persisted_options(options));
    // Another host of this user may be using the pool folder: then its files
    // stay, and this host's pool stays off until that host has ended
    // (turning the pool on tries again). Holding it, this host first ends
    // the workers a dead host left, so that none of them still writes into a
    // memory output about to be swept, nor passes for a client of ours. A
    // folder that is not ours to use keeps the pool off for the session.
    if (auto refused = purge_pool_directory(); refused && !refused->held_elsewhere) {
      log_line("ERROR", "pool: DÉSACTIVÉ pour la session — " + refused->reason);
    }
    sweep_orphan_memory_outputs();
    sweep_orphan_engines();
  }
  if (auto r = keep_utility_suite(); !r) log_line("ERROR", "suite Utility : " + to_string(r.error()));

  if (mode == StartupMode::Probe) {
    register_plugin_hooks(plugin_id);
    start_idle_probe_pump();
    return {new_preview_state(plugin_id, options), 0};
  }

  probe_host_suites();
  // The preview controller retries what is missing when it first renders.
  if (auto r = keep_render_suites(); !r) log_line("ERROR", "suites de rendu : " + to_string(r.error()));
  register_menu_commands(plugin_id, dev_commands_enabled());
  register_plugin_hooks(plugin_id);
  if (auto r = register_panel(plugin_id, "velocinta preview", &panel_create_hook, nullptr); !r) {
    log_line("INFO", "panneau : suite indisponible, fenêtre flottante (" + to_string(r.error()) + ")");
  }
  start_update_check();
  return {new_preview_state(plugin_id, options), 0};
}

}  // namespace vel
