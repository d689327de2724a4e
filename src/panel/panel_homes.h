// The two homes of the panel: the host's docked workspace panel (its
// container view, retained) and the plug-in's own floating window, used when
// the host offers no Workspace Panel suite. Each holds one PanelViews.
// Main thread only.
#pragma once

#include <memory>

#include "panel/panel_controls.h"
#include "panel/panel_views.h"
#include "platform/appkit_view.h"

namespace vel {

struct DockedHome {
  std::shared_ptr<platform::NSView> container;
  std::unique_ptr<PanelViews> views;
};

struct FloatingHome {
  std::shared_ptr<platform::NSWindow> window;
  std::unique_ptr<PanelViews> views;
};

// The host's container becomes the docked home: a new panel is built, laid
// out and added to it, and the previous one is dropped. Off the main thread
// or without a container there is no new panel; answers whether one was
// mounted.
bool mount_docked_panel(DockedHome& home, void* container, bool on_main_thread, const PanelBuildInputs& in);

// The docked panel is on screen: it has a container inside a visible window
// and neither it nor a superview is hidden.
bool docked_panel_shown(const DockedHome& home);

// Builds the floating window and its panel on first use, then shows it.
inline constexpr double kFloatingWidth = 960.0;
inline constexpr double kFloatingHeight = 578.0;
void show_floating_panel(FloatingHome& home, const PanelBuildInputs& in);
void hide_floating_panel(FloatingHome& home);
bool floating_panel_shown(const FloatingHome& home);

// The homes a tick reaches (`docked_usable`: the docked panel is shown).
PanelHomes reachable_homes(DockedHome& docked, FloatingHome& floating, bool docked_usable);

// The panel frames go to: the docked one when shown, else the visible
// floating one; none when neither.
struct ActivePanel {
  PanelViews* views = nullptr;
  const platform::NSView* container = nullptr;
};
ActivePanel active_panel(DockedHome& docked, FloatingHome& floating);

// The visibility step of a tick: a shown panel collects what its pixel
// worker finished and shows its retained frame again after a resize; a
// hidden floating window ends the scrubs of its views.
void stop_hidden_panel(DockedHome& docked, FloatingHome& floating, bool docked_usable);

}  // namespace vel
