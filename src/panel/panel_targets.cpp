#include "panel/panel_targets.h"

#include "core/options.h"
#include "panel/scrub_signals.h"
#include "platform/appkit_controls.h"

namespace vel {

uint64_t quality_from_index(int64_t index) { return index >= 0 && index <= 3 ? static_cast<uint64_t>(index) : 1; }
uint64_t speed_from_index(int64_t index) { return index >= 0 && index <= 3 ? static_cast<uint64_t>(index) : 0; }

bool VelocintaPlayTarget::performAction(std::string_view selector, platform::NSObject*) {
  if (selector != "togglePlay:") return false;
  post_play_toggle();
  return true;
}

bool VelocintaOptionsTarget::performAction(std::string_view selector, platform::NSObject* sender) {
  PanelOptions& o = panel_options();
  if (selector == "qualityChanged:" || selector == "speedChanged:") {
    auto* popup = dynamic_cast<platform::NSPopUpButton*>(sender);
    if (popup == nullptr || popup->indexOfSelectedItem() < 0) return true;
    const int64_t index = popup->indexOfSelectedItem();
    if (selector == "qualityChanged:") {
      o.quality.store(quality_from_index(index));
    } else {
      o.speed.store(speed_from_index(index));
    }
    return true;
  }
  if (selector == "autosaveChanged:") {
    auto* button = dynamic_cast<platform::NSButton*>(sender);
    if (button != nullptr) o.autosave.store(button->state() == 1);
    return true;
  }
  return false;
}

bool VelocintaUpdateTarget::performAction(std::string_view selector, platform::NSObject*) {
  if (selector != "openUpdate:") return false;
  if (open_link_) open_link_();
  return true;
}

}  // namespace vel
