// What a new panel is built from: the current options, the machine's Speed
// levels and the presentation switches.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vel {

struct PanelBuildInputs {
  uint64_t quality = 1;      // current options
  uint64_t speed = 0;
  bool autosave = true;
  uint64_t speed_level = 4;  // the machine's Speed levels, 1..4
  bool metal_allowed = true;          // VELOCINTA_METAL is not "0"
  bool async_present = true;          // VELOCINTA_ASYNC_PRESENT is not "0"
  std::function<void()> open_update_link;
  std::optional<std::string> update_banner_title;  // the current notice's banner; none: hidden
  std::function<void()> on_present_result;  // the CPU worker's wake-up; default the early idle request
};

}  // namespace vel
