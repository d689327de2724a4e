// One run of the stand-in host: open the project, load the plug-in and call
// its entry, run the --command commands, then the main loop (idle hooks and
// scenario events) for the given time, the death hooks, and the summary.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "hostsdk/types.h"
#include "simhost/cli.h"
#include "ui/panel_events.h"

namespace sim {

struct CommandRun {
  std::string name;
  bool found = false;      // a menu command of that name exists
  bool enabled = false;    // and was enabled when chosen
  bool handled = false;    // some hook took it
  A_Err err = A_Err_NONE;  // first error a hook returned
};

// The run's counters when a scenario "mark" ran.
struct RunMark {
  std::string name;
  double at_ms = 0.0;  // since the main loop started
  uint64_t idle_calls = 0;
  uint64_t early_idle_requests = 0;
  uint64_t picture_frames = 0;  // frames that reached the panel's picture
  // Processor time the host's main thread (the one running the loop, and so
  // every idle hook) used since it started, in ms, and the part of it spent
  // inside the idle hooks.
  double main_thread_cpu_ms = 0.0;
  double idle_hook_cpu_ms = 0.0;
};

struct RunStats {
  A_Err entry_err = A_Err_NONE;
  bool entry_called = false;
  uint64_t idle_calls = 0;
  double idle_hook_cpu_ms = 0.0;  // processor time inside the idle hooks
  uint64_t idle_errors = 0;
  A_long smallest_max_sleep_ms = 0;  // the lowest max-sleep a hook asked for
  uint64_t update_menu_calls = 0;
  uint64_t death_calls = 0;
  uint64_t scenario_events = 0;
  std::vector<std::string> scenario_failures;
  std::vector<CommandRun> commands;
  uint64_t modal_windows = 0;
  double seconds_run = 0.0;
  bool quit = false;           // a scenario "quit" ended the loop, not the --seconds bound
  std::string still_waiting;   // the condition the next event still waited for at the end

  // OS names of the threads still alive after the death hooks (the
  // host's own render thread has ended by then).
  std::vector<std::string> threads_after_death;
  // OS names of every thread seen beside the host's loop while it ran.
  std::set<std::string> threads_seen;
  // The update check's world after the death hooks: the requests the update
  // service answered, the links the opener recorder was given, the openers
  // left as zombies, and the names of any children still present.
  std::vector<std::string> update_requests;
  std::vector<std::string> links_opened;
  std::vector<int> zombie_openers;
  std::vector<std::string> children_after_death;
  PanelRunStats panel;
  std::vector<RunMark> marks;
};

// Exit status: 0 after a complete run, 1 when the plug-in's entry failed,
// 2 when the run could not start (bad arguments, project, scenario, library).
int run_simhost(const Options& options);

// The idle hooks' starting max-sleep, in ms.
inline constexpr A_long kDefaultMaxSleepMs = 100;

}  // namespace sim
