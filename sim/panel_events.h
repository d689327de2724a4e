// The scenario's panel events, as the user and the windowing system would
// make them. Positions are window points with the origin at the bottom left
// (AppKit's). Main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host.h"
#include "result.h"
#include "scenario.h"

namespace sim {

struct PanelRunStats {
  uint64_t events = 0;
  std::vector<std::string> screenshots;  // paths written
};

inline constexpr const char* kDefaultPanelName = "velocinta preview";

Status run_panel_event(Host& h, AEGP_GlobalRefcon refcon, const ScenarioEvent& ev, const std::string& out_dir,
                       PanelRunStats& stats);

// The path a screenshot goes to: relative paths inside `out_dir`.
std::string output_path(const std::string& out_dir, const std::string& path);

}  // namespace sim
