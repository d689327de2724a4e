// Where every view of the panel goes, from the container's size, the
// window's backing scale, the picture's aspect and mode, and whether the
// machine offers one Speed level only. AppKit coordinates: origin at the
// bottom left, in points. The bottom 38 points hold the strip (12 points at
// y 26) and the control bar (22 points at y 2); the picture fills the room
// above, centred, snapped to device pixels.
#pragma once

#include <cstdint>

#include "panel/present/cpu_presentation.h"
#include "platform/appkit_view.h"

namespace vel {

inline constexpr double kDefaultAspect = 1.7777777777777777;
inline constexpr uint32_t kLayoutModeFit = 0;
inline constexpr uint32_t kLayoutModeNative = 1;

struct LayoutInputs {
  uint32_t mode = kLayoutModeFit;
  uint32_t native_width = 0;
  double width = 0.0;   // the container's bounds
  double height = 0.0;
  double aspect = kDefaultAspect;
  double scale = 0.0;   // backing scale; 0 without a window
  bool single_speed = false;
  friend bool operator==(const LayoutInputs&, const LayoutInputs&) = default;
};

struct PanelFrames {
  platform::NSRect picture;  // display view, Metal view and picture scrub
  PicturePixels picture_px;
  platform::NSRect strip;    // strip view and strip scrub
  platform::NSRect status;
  platform::NSRect detail;
  platform::NSRect play;
  platform::NSRect size_label, size_popup, speed_label, speed_popup, autosave;
  bool size_label_hidden = false;
  bool speed_label_hidden = false;
  bool speed_popup_hidden = false;
  platform::NSRect update;
  double popup_width = 0.0;
};

// An aspect that is not a finite number above 0 counts as 16:9.
double usable_aspect(double aspect);

// The frames of every view for these inputs.
PanelFrames compute_panel_layout(const LayoutInputs& in);

}  // namespace vel
