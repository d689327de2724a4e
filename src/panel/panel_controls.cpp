#include "panel/panel_controls.h"

#include "panel/panel_views.h"

namespace vel {
namespace {

constexpr std::string_view kBusyWord = "VELOCINTAING";
constexpr double kGrey = 0.6588235294117647;

}  // namespace

StatusStyle status_text_style(std::string_view text) {
  if (text.size() >= kBusyWord.size() && text.substr(0, kBusyWord.size()) == kBusyWord) {
    return {1.0, 1.0, 1.0, 1.0, 11.0};
  }
  return {kGrey, kGrey, kGrey, 1.0, 12.0};
}

void set_status_label(platform::NSTextField& label, std::string_view text) {
  const StatusStyle style = status_text_style(text);
  label.setTextColor(platform::NSColor::colorWithSRGBRed(style.red, style.green, style.blue, style.alpha));
  label.setFont(platform::NSFont::systemFontOfSize(style.font_size));
  label.setStringValue(std::string(text));
}

void end_panel_scrubs(PanelViews& panel) {
  panel.picture_scrub->end_scrub();
  panel.strip_scrub->end_scrub();
}

void update_play_controls(PlayControlMemory& memory, bool paused, uint8_t pool_availability, const PanelHomes& homes) {
  const uint8_t f = paused ? 1 : 0;
  if (memory.title_state == kPlayTitleUnknown || memory.title_state == f) {
    const char* title = paused ? kPlayTitle : kPauseTitle;
    if (homes.docked != nullptr) homes.docked->play_button->setTitle(title);
    if (homes.floating != nullptr) {
      if (homes.floating_visible) {
        homes.floating->play_button->setTitle(title);
      } else {
        end_panel_scrubs(*homes.floating);
      }
    }
    memory.title_state = static_cast<uint8_t>(1 - f);
  }
  const std::string_view text =
      pool_availability == kPoolUnavailableRenderSettings ? "Pool unavailable: render settings" : "Scrub anywhere";
  if (memory.last_status && *memory.last_status == text) return;
  if (homes.docked != nullptr) homes.docked->status_label->setStringValue(std::string(text));
  if (homes.floating != nullptr) {
    if (homes.floating_visible) {
      homes.floating->status_label->setStringValue(std::string(text));
    } else {
      end_panel_scrubs(*homes.floating);
    }
  }
  memory.last_status = std::string(text);
}

bool show_frame_in_panel(PanelViews& panel, const platform::NSView& container, const RgbaFrame& frame) {
  layout_panel(panel, container);
  if (panel.metal) {
    show_frame_metal(*panel.metal, frame);
    return true;
  }
  if (!panel.cpu) return false;
  return panel.cpu->show_frame(frame);
}

}  // namespace vel
