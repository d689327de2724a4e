// The targets of the panel's controls. Each turns a click into a store or a
// counter increment that the idle hook applies on its next tick; nothing
// here touches the preview directly. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/appkit_view.h"

namespace vel {

// Popup index to option value: the index is the value; larger indexes give
// the option's fallback (quality 1, speed 0).
uint64_t quality_from_index(int64_t index);
uint64_t speed_from_index(int64_t index);

class VelocintaPlayTarget : public platform::NSObject {
 public:
  // togglePlay: — one more play/pause click for the idle hook.
  bool performAction(std::string_view selector, platform::NSObject* sender) override;
};

class VelocintaOptionsTarget : public platform::NSObject {
 public:
  // qualityChanged:, speedChanged: (from a popup with a selection) and
  // autosaveChanged: (from a button) store the panel option.
  bool performAction(std::string_view selector, platform::NSObject* sender) override;
};

class VelocintaUpdateTarget : public platform::NSObject {
 public:
  // openUpdate: runs `open_link` (the update notice's link opener).
  explicit VelocintaUpdateTarget(std::function<void()> open_link = {}) : open_link_(std::move(open_link)) {}
  bool performAction(std::string_view selector, platform::NSObject* sender) override;

 private:
  std::function<void()> open_link_;
};

}  // namespace vel
