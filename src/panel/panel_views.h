// PanelViews: one home of the panel (the host's docked workspace panel or
// the plug-in's floating window): its views in drawing order, the targets
// of its controls, the memory of its last layout and its CPU presentation.
// Built by `build_panel`, laid out by `layout_panel`, attached by
// `add_panel_subviews`. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "panel/panel_build_inputs.h"
#include "panel/panel_layout.h"
#include "panel/panel_targets.h"
#include "panel/present/cpu_presentation.h"
#include "panel/present/metal/metal_presentation.h"
#include "panel/scrub_view.h"
#include "platform/appkit_controls.h"
#include "platform/appkit_image.h"

namespace vel {

inline constexpr const char* kPlayTitle = "\xE2\x96\xB6";        // ▶
inline constexpr const char* kPauseTitle = "\xE2\x9D\x9A\xE2\x9D\x9A";  // ❚❚

struct PanelViews {
  std::shared_ptr<platform::NSImageView> display_view;
  std::shared_ptr<platform::NSImageView> strip_view;
  std::shared_ptr<platform::NSTextField> status_label;
  std::shared_ptr<platform::NSTextField> detail_label;
  std::shared_ptr<VelocintaScrubView> picture_scrub;
  std::shared_ptr<VelocintaScrubView> strip_scrub;
  std::shared_ptr<platform::NSButton> play_button;
  std::shared_ptr<VelocintaPlayTarget> play_target;
  std::shared_ptr<platform::NSTextField> size_label;
  std::shared_ptr<platform::NSPopUpButton> size_popup;
  std::shared_ptr<platform::NSTextField> speed_label;
  std::shared_ptr<platform::NSPopUpButton> speed_popup;
  std::shared_ptr<platform::NSButton> autosave_checkbox;
  std::shared_ptr<VelocintaOptionsTarget> options_target;
  // The update banner, hidden until the update check knows of a newer
  // version; its target opens the notice's link.
  std::shared_ptr<platform::NSButton> update_button;
  std::shared_ptr<VelocintaUpdateTarget> update_target;

  std::optional<LayoutInputs> laid_out;  // none: never laid out
  double layout_aspect = kDefaultAspect;
  uint32_t layout_mode = kLayoutModeFit;
  uint32_t native_width = 0;
  bool single_speed = false;             // the machine offers one Speed level
  PicturePixels picture_px;

  // The Metal path (its layer-hosting view above the picture), or else the
  // CPU path.
  std::shared_ptr<platform::NSView> metal_view;
  std::unique_ptr<MetalPresentation> metal;
  std::unique_ptr<CpuPresentation> cpu;
};


std::unique_ptr<PanelViews> build_panel(const PanelBuildInputs& in);

// Adds the views to the container, lowest first.
void add_panel_subviews(PanelViews& panel, platform::NSView& container);

// Lays the panel out in `container`; nothing (no frame set) when no input
// changed since the last layout.
void layout_panel(PanelViews& panel, const platform::NSView& container);

// A new picture mode and aspect (mode 0 fit, 1 native pixels); lays the
// panel out again only when they differ from the stored ones.
void set_layout_aspect(PanelViews& panel, const platform::NSView* container, uint32_t mode, uint32_t native_width,
                       bool aspect_given, double aspect);

// Shows the update banner with `title`, or hides it when `title` is none;
// the title is set only when it differs, so a repeated change costs nothing.
void set_update_banner(PanelViews& panel, const std::optional<std::string>& title);

// The Size and Speed popups' items.
inline constexpr const char* kSizeItems[] = {"1/8 res", "1/4 res", "1/2 res", "1/1 res"};
inline constexpr const char* kSpeedItems[] = {"Normal", "Fast", "Extreme", "Max"};

}  // namespace vel
