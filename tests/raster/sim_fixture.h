// The raster renderer's host calls against the stand-in host, in this
// process: the stand-in's suite tables behind the plug-in's basic suite,
// one project opened per test, and the stand-in's ledger of everything it
// handed out compared before and after.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "host/basic_suite_store.h"
#include "host/handles.h"
#include "raster/introspect_comp.h"
// The stand-in host.
#include "project/project_json.h"
#include "simhost/host.h"

namespace vel::testing {

// What the plug-in holds of the host's: references, values, memory, suites.
struct HostLedger {
  sim::LedgerCounts streams, effects, values;
  size_t mem_handles = 0;
  uint64_t bad_mem_frees = 0;
  uint64_t suites_held = 0;

  static HostLedger now() {
    sim::Host& h = sim::host();
    return {h.streams.counts(), h.effects.counts(), h.stream_values.counts(), h.memory.size(),
            h.bad_mem_frees.load(), h.suites.outstanding()};
  }
  // Everything taken since `before` was given back, once.
  std::string imbalance_since(const HostLedger& before) const {
    std::string out;
    auto check = [&](const char* what, uint64_t a, uint64_t b) {
      if (a != b) out += std::string(what) + " " + std::to_string(b) + " -> " + std::to_string(a) + "; ";
    };
    check("live stream refs", streams.live, before.streams.live);
    check("bad stream ref releases", streams.bad_releases, before.streams.bad_releases);
    check("live effect refs", effects.live, before.effects.live);
    check("bad effect ref releases", effects.bad_releases, before.effects.bad_releases);
    check("live stream values", values.live, before.values.live);
    check("bad stream value releases", values.bad_releases, before.values.bad_releases);
    check("live memory handles", mem_handles, before.mem_handles);
    check("bad memory frees", bad_mem_frees, before.bad_mem_frees);
    check("suites held", suites_held, before.suites_held);
    return out;
  }
};

class SimHostTest : public ::testing::Test {
 protected:
  static constexpr PluginId kPlugin = 7;

  static void SetUpTestSuite() {
    sim::Host& h = sim::host();
    h.main_thread = std::this_thread::get_id();
    static bool installed = false;
    if (!installed) {
      sim::install_suites(h);
      installed = true;
    }
    store_basic_suite(&h.basic);
    // The suites introspection keeps for the process are taken once here,
    // so every test's ledger starts with them held.
    if (open_project(R"({"active_comp": "W", "compositions": [{"name": "W", "width": 8, "height": 8,
        "frame_duration": [1, 25], "duration": [25, 25], "layers": [{"name": "s",
        "solid": {"color": [1, 1, 1]}, "transform": {"opacity": {"keyframes": [
        {"time": [0, 25], "value": 0}, {"time": [5, 25], "value": 100}]}}}]}]})")) {
      (void)introspect_comp(kPlugin, active());
    }
  }
  void TearDown() override { sim::host().faults.clear(); }

  // Opens the project text; false (with a failure) when it does not parse.
  static bool open_project(const std::string& text) {
    auto p = sim::parse_project_text(text);
    EXPECT_TRUE(p.ok()) << p.error();
    if (!p) return false;
    sim::host().project.open(std::move(p).value(), "");
    return true;
  }
  static ItemH active() {
    auto snap = sim::host().project.snapshot();
    if (!snap->active_comp) return nullptr;
    return sim::item_handle(snap->comps[*snap->active_comp].id);
  }
};

}  // namespace vel::testing
