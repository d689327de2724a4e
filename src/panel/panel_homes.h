// The two homes of the panel: the host's docked workspace panel (its
// container view, retained) and the plug-in's own floating window, used when
// the host offers no Workspace Panel suite. Each holds one PanelViews. The
// rest of the plug-in reaches the views only through the calls below.
// Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cache/rgba_frame.h"
#include "panel/panel_build_inputs.h"
#include "panel/panel_controls.h"

namespace platform {
class NSView;
class NSWindow;
}  // namespace platform

namespace vel {

struct PanelViews;

struct DockedHome {
  DockedHome();
  ~DockedHome();
  DockedHome(DockedHome&&) noexcept;
  DockedHome& operator=(DockedHome&&) noexcept;
  std::shared_ptr<platform::NSView> container;
  std::unique_ptr<PanelViews> views;
};

struct FloatingHome {
  FloatingHome();
  ~FloatingHome();
  FloatingHome(FloatingHome&&) noexcept;
  FloatingHome& operator=(FloatingHome&&) noexcept;
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
bool show_frame_in_active_panel(const ActivePanel& panel, const RgbaFrame& frame);

// The visibility step of a tick: a shown panel collects what its pixel
// worker finished and shows its retained frame again after a resize (not
// with `hold_picture`: the picture stays as it is this tick); a hidden
// floating window ends the scrubs of its views.
void stop_hidden_panel(DockedHome& docked, FloatingHome& floating, bool docked_usable, bool hold_picture);

// Both homes laid out for the composition's aspect (16:9 when unknown).
void relayout_homes(DockedHome& docked, FloatingHome& floating, bool aspect_known, double aspect);

// The update banner in each built home: shown with `title` or hidden, then
// the home is laid out again.
void apply_update_banner(DockedHome& docked, FloatingHome& floating, const std::optional<std::string>& title);

// Each built home (docked with a container, floating with a window) drops
// what its presenter has pending.
void invalidate_home_presenters(DockedHome& docked, FloatingHome& floating);
// The same, and the picture and strip show nothing.
void blank_homes(DockedHome& docked, FloatingHome& floating);
// The presenters stop (their workers end; the death hook joins them).
void stop_home_presenters(DockedHome& docked, FloatingHome& floating);

// The detail line under the picture of each built home; a hidden floating
// window only with `hidden_floating_too`.
void set_detail_texts(DockedHome& docked, FloatingHome& floating, std::string_view text, bool hidden_floating_too);

// The device-pixel size of the panel's strip (at least scale 1).
struct StripPixels {
  uint32_t width = 0;
  uint32_t height = 0;
};
StripPixels strip_pixel_size(const ActivePanel& panel);
// Shows premultiplied RGBA pixels in the strip (empty: no image).
void show_strip(const ActivePanel& panel, const std::vector<uint8_t>& pixels, StripPixels size);

}  // namespace vel
