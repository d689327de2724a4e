// Helpers of the suites that run the plug-in's idle tick against the
// stand-in host in this process.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "cache/worker_registry.h"
#include "core/machine.h"
#include "host/basic_suite_store.h"
#include "host/utility_calls.h"
#include "panel/present/present_workers.h"
#include "platform/appkit_view.h"
#include "plugin/hooks.h"
#include "plugin/panel_steps.h"
#include "plugin/preview_state.h"
#include "preview/async_render.h"
// The stand-in host.
#include "project/project_json.h"
#include "simhost/host.h"

namespace vel::testing {

// The stand-in host serves this thread as its main thread; the plug-in
// keeps its basic suite and Utility suite. True when the suite was kept.
inline bool install_in_process_host() {
  sim::Host& h = sim::host();
  h.main_thread = std::this_thread::get_id();
  sim::install_suites(h);
  store_basic_suite(&h.basic);
  return keep_utility_suite().ok();
}

// Runs idle ticks until `done` answers true; false after `seconds`.
inline bool tick_until(PreviewState& state, const std::function<bool()>& done, int seconds = 20) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < until) {
    run_idle_steps(state, mono_ns());
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Cancels what waits at the host and lets the last asynchronous renders
// come back, then stops and joins the background workers, whose links end
// in the state, before the state goes.
inline void settle_and_delete(PreviewState* state) {
  cancel_async_renders(state->preview);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (async_renders_in_flight() > 0 && std::chrono::steady_clock::now() < until) {
    (void)take_async_deliveries();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  drain_deferred_list();
  delete state;
}

// Opens the project `project_json` in the host as the file `file_name`
// and mounts the docked panel of a fresh state, by its creation hook, in a
// key window of 640 × 400. Call through ASSERT_NO_FATAL_FAILURE.
inline void open_docked_panel(const std::string& project_json, const std::string& file_name, PreviewState*& state,
                              std::shared_ptr<platform::NSWindow>& window) {
  store_basic_suite(&sim::host().basic);
  auto project = sim::parse_project_text(project_json);
  ASSERT_TRUE(project.ok()) << project.error();
  sim::host().project.open(std::move(project).value(), file_name);
  reset_async_inbox_for_tests();
  state = new_preview_state(sim::kPluginId, PersistedOptions{});
  window = platform::NSWindow::initWithContentRect({0, 0, 640, 400});
  window->makeKeyAndOrderFront();
  ASSERT_EQ(panel_create_hook(state, nullptr, window->contentView().get(), nullptr, nullptr, nullptr), 0);
  ASSERT_TRUE(state->presentation.docked.views);
}

// Takes the panel of open_docked_panel down, its pixel worker joined, then
// the state.
inline void close_docked_panel(PreviewState* state) {
  state->presentation.docked = {};
  join_present_workers();
  settle_and_delete(state);
}

}  // namespace vel::testing
