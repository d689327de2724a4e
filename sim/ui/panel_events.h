// The scenario's panel events, as the user and the windowing system would
// make them. Positions are window points with the origin at the bottom left
// (AppKit's). Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/appkit_image.h"
#include "scenario/scenario.h"
#include "simhost/host.h"
#include "simhost/result.h"
#include "ui/screenshot_writer.h"

namespace sim {

struct PanelRunStats {
  uint64_t events = 0;
  std::vector<std::string> screenshots;  // paths taken (a failed write is taken out at the end)
  // When each was painted, in ms of the monotonic clock: a test reading the
  // frames of a burst knows how much time the playback clock had between two.
  std::map<std::string, double> screenshot_ms;
};

inline constexpr const char* kDefaultPanelName = "velocinta preview";

// A screenshot is painted at once and handed to `shots` to be written.
Status run_panel_event(Host& h, AEGP_GlobalRefcon refcon, const ScenarioEvent& ev, const std::string& out_dir,
                       PanelRunStats& stats, ScreenshotWriter& shots);

// The largest image view in a view tree: the panel's picture.
const platform::NSImageView* largest_image_view(const platform::NSView& v);
// The texts a user reads in a window's content: visible text fields, button
// titles and selected pop-up items, in drawing order.
std::vector<std::string> window_texts(const platform::NSView& content);

// The path a screenshot goes to: relative paths inside `out_dir`.
std::string output_path(const std::string& out_dir, const std::string& path);

}  // namespace sim
