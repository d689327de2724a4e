// The panel's side of the idle hook: the play title and scrub hint kept in
// step with the preview, the styled status texts, and the display of frames
// in a panel home. Touches a view only when what it shows changes. Main
// thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cache/rgba_frame.h"

namespace platform {
class NSTextField;
class NSView;
}  // namespace platform

namespace vel {

struct PanelViews;

inline constexpr uint8_t kPlayTitleUnknown = 2;
inline constexpr uint8_t kPoolUnavailableRenderSettings = 2;

// What was last put on the play buttons and status labels.
struct PlayControlMemory {
  uint8_t title_state = kPlayTitleUnknown;  // 0/1: the inverse of the paused flag last shown; 2 unknown
  std::optional<std::string> last_status;
};

// The homes a tick may reach: the docked panel when the host shows it, the
// floating panel when its window exists (visible or not).
struct PanelHomes {
  PanelViews* docked = nullptr;
  PanelViews* floating = nullptr;
  bool floating_visible = false;
};

// sRGB text colour and system font size of a status text.
struct StatusStyle {
  double red = 0.0, green = 0.0, blue = 0.0, alpha = 1.0;
  double font_size = 12.0;
};
// White 11 pt for a text that begins with "VELOCINTAING", grey 12 pt else.
StatusStyle status_text_style(std::string_view text);

// Styles and sets a status text (an empty text clears the label).
void set_status_label(platform::NSTextField& label, std::string_view text);

// The play title ("▶" while paused, "❚❚" while playing) and the scrub hint
// ("Scrub anywhere", or the pool's render-settings notice).
void update_play_controls(PlayControlMemory& memory, bool paused, uint8_t pool_availability, const PanelHomes& homes);

// End-scrub on both scrub views of a panel.
void end_panel_scrubs(PanelViews& panel);

// Lays the panel out and hands the frame to its presenter; whether it was
// posted or shown.
bool show_frame_in_panel(PanelViews& panel, const platform::NSView& container, const RgbaFrame& frame);

}  // namespace vel
