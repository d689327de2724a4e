// The stand-in host's side of workspace panels: when the user opens a
// registered panel, the host makes a window with a container view and calls
// the plug-in's creation hook with it; it keeps the callback table and the
// title the plug-in gives. Main thread only (the panel suite's calls and the
// scenario's panel events all run there).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hostsdk/workspace_panel_suite.h"
#include "platform/appkit_view.h"
#include "simhost/hook_table.h"
#include "simhost/result.h"

namespace sim {

struct DockedPanel {
  std::string match_name;
  std::shared_ptr<platform::NSWindow> window;  // its content view is the container
  AEGP_PanelFunctions1 functions{};
  AEGP_PanelRefcon refcon = nullptr;
  std::string title;
  A_Err create_err = A_Err_NONE;
  // What the panel's callbacks answered when the host laid out its tab:
  // the snap sizes it asked for (none without the callback).
  std::optional<A_long> snap_sizes;
};

class PanelHost {
 public:
  // Opens the registered panel in a new window of width × height points on
  // a screen of the given backing scale, and calls its creation hook.
  Status open(const PanelEntry& entry, AEGP_GlobalRefcon global_refcon, double width, double height, double scale);
  // The record behind a panel handle the host gave out; null for others.
  DockedPanel* by_handle(AEGP_PanelH handle);
  DockedPanel* by_name(const std::string& match_name);
  const std::vector<std::unique_ptr<DockedPanel>>& panels() const { return panels_; }

 private:
  std::vector<std::unique_ptr<DockedPanel>> panels_;  // a handle is its record's address
};

// The window that input and screenshots go to: the first visible docked
// panel's window, else the frontmost visible window the plug-in opened.
std::shared_ptr<platform::NSWindow> panel_event_window(const PanelHost& host);

}  // namespace sim
