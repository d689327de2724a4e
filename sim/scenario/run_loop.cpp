#include "scenario/run_loop.h"
#include "simhost/thread_census.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <thread>

#include "platform/metal_testing.h"
#include "project/project_json.h"
#include "scenario/scenario.h"
#include "scenario/scenario_waits.h"
#include "simhost/host.h"
#include "simhost/plugin_loader.h"
#include "simhost/summary.h"
#include "ui/metal_events.h"
#include "ui/output_templates_dialog.h"
#include "ui/panel_events.h"
#include "ui/panel_painter.h"
#include "update/update_world.h"

namespace sim {

// A host keeps the plug-in's global refcon for the life of the process, as it
// keeps the library loaded.
void* kept_global_refcon = nullptr;
namespace {

using Clock = std::chrono::steady_clock;

double thread_cpu_ms() {
  timespec ts{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0.0;
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// The version the stand-in reports to the plug-in's entry.
constexpr A_long kHostMajorVersion = 13;
constexpr A_long kHostMinorVersion = 28;

struct Session {
  Host& h;
  std::string out_dir;
  ScenarioWaits waits;
  ScreenshotWriter shots;
  AEGP_GlobalRefcon refcon = nullptr;
  RunStats stats;
  bool quit = false;
  Clock::time_point started = Clock::now();  // the main loop's start
};

// A host updates its menus before the user can choose from them.
void update_menus(Session& s) {
  for (const UpdateMenuHookEntry& e : s.h.hooks.update_menu_hooks()) {
    e.hook(s.refcon, e.refcon, AEGP_WindType_COMP);
    ++s.stats.update_menu_calls;
  }
}

void run_command(Session& s, const std::string& name) {
  CommandRun run;
  run.name = name;
  update_menus(s);
  std::optional<MenuCommand> cmd = s.h.hooks.find_menu_command(name);
  if (cmd) {
    run.found = true;
    run.enabled = cmd->enabled;
  }
  if (run.found && run.enabled) {
    for (const CommandHookEntry& e : s.h.hooks.command_hooks_for(cmd->id)) {
      A_Boolean handled = 0;
      A_Err err = e.hook(s.refcon, e.refcon, cmd->id, e.priority, run.handled ? 1 : 0, &handled);
      if (err != A_Err_NONE && run.err == A_Err_NONE) run.err = err;
      if (handled) run.handled = true;
    }
  } else {
    std::fprintf(stderr, "simhost: menu command \"%s\" %s\n", name.c_str(), run.found ? "is disabled" : "not found");
  }
  s.stats.commands.push_back(run);
}

void run_event(Session& s, const ScenarioEvent& ev) {
  ++s.stats.scenario_events;
  Status result = done();
  switch (ev.kind) {
    case EventKind::command:
      run_command(s, ev.name);
      break;
    case EventKind::show_modal:
      if (!s.h.modal.exchange(true)) ++s.stats.modal_windows;
      break;
    case EventKind::close_modal:
      s.h.modal.store(false);
      break;
    case EventKind::modal: {
      // The host's own modal loop: no idle hook and no other event runs
      // until the window closes; threads asking meanwhile see it shown.
      const bool shown_before = s.h.modal.exchange(true);
      if (!shown_before) ++s.stats.modal_windows;
      std::this_thread::sleep_for(std::chrono::milliseconds(ev.value.get<int64_t>()));
      if (!shown_before) s.h.modal.store(false);
      break;
    }
    case EventKind::edit:
      result = s.h.project.edit(ev.pointer, ev.value);
      break;
    case EventKind::activate:
      result = s.h.project.activate(ev.name);
      break;
    case EventKind::metal:
      result = run_metal_event(ev.value);
      break;
    case EventKind::quit:
      s.quit = true;
      break;
    case EventKind::wait:
      break;
    case EventKind::output_module_template: {
      Result<TemplateChoice> choice = template_choice_from_json(ev.value);
      result = choice ? make_output_module_template(s.h.hooks.output_modules(), choice.value()) : Status(fail(choice.error()));
      break;
    }
    case EventKind::mark:
      s.stats.marks.push_back(RunMark{ev.name, std::chrono::duration<double, std::milli>(Clock::now() - s.started).count(),
                                      s.stats.idle_calls, s.h.idle.requests(), s.waits.picture_frames(),
                                      thread_cpu_ms(), s.stats.idle_hook_cpu_ms});
      break;
    default:
      result = run_panel_event(s.h, s.refcon, ev, s.out_dir, s.stats.panel, s.shots);
      if (ev.kind != EventKind::screenshot) s.waits.note_input();
      break;
    case EventKind::save:
      // A relative path is taken inside --out, so a scenario never writes
      // beside the project or into the working folder by accident.
      if (ev.path.empty()) result = s.h.project.save();
      else result = s.h.project.save_copy(ev.path.front() == '/' ? ev.path : s.out_dir + "/" + ev.path);
      break;
  }
  if (!result) {
    std::string text = std::string(event_kind_name(ev.kind)) + " at " + std::to_string(ev.at_ms) + " ms: " +
                       result.error();
    std::fprintf(stderr, "simhost: scenario: %s\n", text.c_str());
    s.stats.scenario_failures.push_back(text);
  }
}

// Calls every idle hook once; returns the longest the loop may now sleep.
A_long call_idle_hooks(Session& s) {
  A_long sleep = kDefaultMaxSleepMs;
  for (const IdleHookEntry& e : s.h.hooks.idle_hooks()) {
    A_long max_sleep = kDefaultMaxSleepMs;
    const double cpu_before = thread_cpu_ms();
    A_Err err = e.hook(s.refcon, e.refcon, &max_sleep);
    s.stats.idle_hook_cpu_ms += thread_cpu_ms() - cpu_before;
    ++s.stats.idle_calls;
    if (err != A_Err_NONE) ++s.stats.idle_errors;
    max_sleep = std::max<A_long>(max_sleep, 0);
    if (s.stats.smallest_max_sleep_ms == 0 || max_sleep < s.stats.smallest_max_sleep_ms) {
      s.stats.smallest_max_sleep_ms = max_sleep;
    }
    sleep = std::min(sleep, max_sleep);
  }
  return sleep;
}

void main_loop(Session& s, const Scenario& scenario, double seconds) {
  const auto start = Clock::now();
  s.started = start;
  const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  size_t next = 0;
  for (;;) {
    auto now = Clock::now();
    // An event waiting for its condition holds back every event after it.
    while (!s.quit && next < scenario.events.size() &&
           start + std::chrono::milliseconds(scenario.events[next].at_ms) <= now &&
           s.waits.holds(scenario.events[next])) {
      run_event(s, scenario.events[next++]);
    }
    if (s.quit || now >= end) break;
    A_long sleep_ms = call_idle_hooks(s);
    s.waits.note_idle_round();
    for (std::string& name : other_thread_names()) s.stats.threads_seen.insert(std::move(name));
    auto wake = std::min(Clock::now() + std::chrono::milliseconds(sleep_ms), end);
    // An event past its time waits for its condition: the idle round's
    // sleep paces the checks.
    if (next < scenario.events.size() && start + std::chrono::milliseconds(scenario.events[next].at_ms) > now) {
      wake = std::min(wake, start + std::chrono::milliseconds(scenario.events[next].at_ms));
    }
    s.h.idle.wait_until(wake);
  }
  s.stats.seconds_run = std::chrono::duration<double>(Clock::now() - start).count();
  s.stats.quit = s.quit;
  if (next < scenario.events.size() && scenario.events[next].when != WaitFor::nothing &&
      std::chrono::milliseconds(scenario.events[next].at_ms) <= Clock::now() - start) {
    s.stats.still_waiting = scenario.events[next].when_source;
  }
}

// The pictures are on disk before the run's threads are counted and the
// summary lists them.
void take_written_screenshots(Session& s) {
  std::vector<std::string>& taken = s.stats.panel.screenshots;
  for (const ScreenshotWriter::Failed& f : s.shots.finish()) {
    std::fprintf(stderr, "simhost: scenario: %s\n", f.error.c_str());
    s.stats.scenario_failures.push_back(f.error);
    taken.erase(std::remove(taken.begin(), taken.end(), f.path), taken.end());
  }
}

void record_update_world(const UpdateWorld& world, RunStats& stats) {
  for (const ServedRequest& r : world.service->served()) stats.update_requests.push_back(r.target);
  if (!world.opened_record.empty()) {
    for (const OpenedLink& l : read_opened_links(world.opened_record)) {
      stats.links_opened.push_back(l.link);
      if (child_state(l.pid) == 'Z') stats.zombie_openers.push_back(static_cast<int>(l.pid));
    }
  }
  stats.children_after_death = child_process_names();
}

}  // namespace

int run_simhost(const Options& options) {
  // The window server's GPU: command buffers end on the device's own thread.
  platform::set_gpu_available(options.gpu);
  platform::set_metal_completion(platform::MetalCompletion::device_thread);
  // Made first: scenario saves write into it before the summary does.
  std::error_code ec;
  std::filesystem::create_directories(options.out_dir, ec);
  if (ec) {
    std::fprintf(stderr, "simhost: cannot create %s: %s\n", options.out_dir.c_str(), ec.message().c_str());
    return 2;
  }
  Result<Project> project = load_project_file(options.project);
  if (!project) {
    std::fprintf(stderr, "simhost: %s\n", project.error().c_str());
    return 2;
  }
  Scenario scenario;
  if (!options.scenario.empty()) {
    Result<Scenario> loaded = load_scenario_file(options.scenario);
    if (!loaded) {
      std::fprintf(stderr, "simhost: %s\n", loaded.error().c_str());
      return 2;
    }
    scenario = std::move(loaded).value();
  }

  Host& h = host();
  h.main_thread = std::this_thread::get_id();
  h.project.open(std::move(project).value(), options.project);
  install_suites(h);
  for (const std::string& name : options.hidden_suites) h.suites.hide(name);
  for (const Options::FailedCall& f : options.failed_calls) h.faults.arm(f.call, f.code);
  h.scripts.configure(options.scripting, parse_script_switches(options.script_switches));

  Result<AEGP_EntryPointFunc> entry = load_plugin(options.plugin);
  if (!entry) {
    std::fprintf(stderr, "simhost: %s\n", entry.error().c_str());
    return 2;
  }
  // Every render worker the pool starts inherits it and loads the same library.
  {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(options.plugin, ec);
    ::setenv("SIMHOST_PLUGIN", (ec ? std::filesystem::path(options.plugin) : absolute).c_str(), 1);
  }
  // Before the entry, which is where the plug-in starts its update check;
  // after the load, so a run that cannot start leaves no recorder behind.
  Result<UpdateWorld> update = set_up_update_world(options.update_reply, options.opener, options.out_dir);
  if (!update) {
    std::fprintf(stderr, "simhost: %s\n", update.error().c_str());
    return 2;
  }

  Session s{h, options.out_dir, ScenarioWaits(h, update.value().opened_record)};
  s.stats.entry_called = true;
  s.stats.entry_err = entry.value()(&h.basic, kHostMajorVersion, kHostMinorVersion, kPluginId, &s.refcon);
  kept_global_refcon = s.refcon;
  if (s.stats.entry_err != A_Err_NONE) {
    std::fprintf(stderr, "simhost: the plug-in's entry failed with %d\n", static_cast<int>(s.stats.entry_err));
  } else {
    for (const std::string& name : options.commands) run_command(s, name);
    main_loop(s, scenario, options.seconds);
    take_written_screenshots(s);
    for (const DeathHookEntry& e : h.hooks.death_hooks()) {
      e.hook(s.refcon, e.refcon);
      ++s.stats.death_calls;
    }
  }
  // Requests still queued complete as cancelled before the summary counts them.
  h.async.shutdown();
  // The GPU finishes what was committed before the live objects are counted,
  // also what a scenario held back.
  (void)platform::release_held_command_buffers();
  platform::wait_metal_device_idle();
  s.stats.threads_after_death = other_thread_names();
  record_update_world(update.value(), s.stats);

  if (!s.stats.panel.screenshots.empty()) release_painter_caches();
  Status written = write_summary(build_summary(h, s.stats), options.out_dir);
  if (!written) {
    std::fprintf(stderr, "simhost: %s\n", written.error().c_str());
    return 2;
  }
  return s.stats.entry_err == A_Err_NONE ? 0 : 1;
}

}  // namespace sim
