// The update banner's step of the idle hook: the panel's update button
// changes only when the notice's version, the docked panel or the floating
// window changed since the last change, so quiet ticks touch no view.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "panel/update/update_notice.h"

namespace vel {

// "Update available — v" + version + " · click to download".
std::string update_banner_title(std::string_view version);

// What the banner step recorded at the last change. Starts as "no notice,
// no panel", so nothing happens before a panel exists or a notice arrives.
struct UpdateBannerMemory {
  std::optional<std::string> version;
  bool docked = false;
  bool floating = false;
};

// What every existing panel applies to its update button, then lays itself
// out again: shown with `title`, or hidden when `title` is none.
struct UpdateBannerChange {
  std::optional<std::string> title;
};

// Once per tick on the main thread. None when nothing changed; otherwise
// records the new state and answers the change, reading the notice again
// through `read` (update_notice in the plug-in) for the freshest text.
std::optional<UpdateBannerChange> update_banner_step(
    UpdateBannerMemory& memory, bool docked, bool floating,
    const std::function<std::optional<UpdateNotice>()>& read = update_notice);

}  // namespace vel
