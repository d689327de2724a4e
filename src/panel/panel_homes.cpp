#include "panel/panel_homes.h"

#include <algorithm>
#include <cmath>

#include "panel/panel_views.h"
#include "panel/present/bitmap_present.h"
#include "panel/present/present_workers.h"

namespace vel {

DockedHome::DockedHome() = default;
DockedHome::~DockedHome() = default;
DockedHome::DockedHome(DockedHome&&) noexcept = default;
DockedHome& DockedHome::operator=(DockedHome&&) noexcept = default;
FloatingHome::FloatingHome() = default;
FloatingHome::~FloatingHome() = default;
FloatingHome::FloatingHome(FloatingHome&&) noexcept = default;
FloatingHome& FloatingHome::operator=(FloatingHome&&) noexcept = default;

namespace {

PanelViews* built_docked(DockedHome& h) { return h.container ? h.views.get() : nullptr; }
PanelViews* built_floating(FloatingHome& h) { return h.window ? h.views.get() : nullptr; }

}  // namespace

bool mount_docked_panel(DockedHome& home, void* container, bool on_main_thread, const PanelBuildInputs& in) {
  std::shared_ptr<platform::NSView> kept;
  std::unique_ptr<PanelViews> views;
  // The host owns the container; retaining it keeps it while the panel lives.
  if (on_main_thread && container != nullptr) kept = static_cast<platform::NSView*>(container)->weak_from_this().lock();
  if (kept) {
    views = build_panel(in);
    layout_panel(*views, *kept);
    add_panel_subviews(*views, *kept);
  }
  home.views.reset();
  home.container = std::move(kept);
  home.views = std::move(views);
  return home.container != nullptr;
}

bool docked_panel_shown(const DockedHome& home) {
  if (!home.container || !home.views) return false;
  const platform::NSWindow* w = home.container->window();
  return w != nullptr && w->isVisible() && !home.container->isHiddenOrHasHiddenAncestor();
}

void show_floating_panel(FloatingHome& home, const PanelBuildInputs& in) {
  if (!home.window) {
    home.window = platform::NSWindow::initWithContentRect({120.0, 120.0, kFloatingWidth, kFloatingHeight});
    home.window->setTitle("Velocinta");
    home.views = build_panel(in);
    layout_panel(*home.views, *home.window->contentView());
    add_panel_subviews(*home.views, *home.window->contentView());
  }
  home.window->makeKeyAndOrderFront();
}

void hide_floating_panel(FloatingHome& home) {
  if (!home.window) return;
  home.window->orderOut();
  if (home.views) end_panel_scrubs(*home.views);
}

bool floating_panel_shown(const FloatingHome& home) {
  return home.window && home.views && home.window->isVisible() && home.window->contentView();
}

PanelHomes reachable_homes(DockedHome& docked, FloatingHome& floating, bool docked_usable) {
  PanelHomes h;
  if (docked_usable) h.docked = built_docked(docked);
  if (PanelViews* f = built_floating(floating)) {
    h.floating = f;
    h.floating_visible = floating.window->isVisible();
  }
  return h;
}

ActivePanel active_panel(DockedHome& docked, FloatingHome& floating) {
  if (docked_panel_shown(docked)) return {docked.views.get(), docked.container.get()};
  if (floating_panel_shown(floating)) return {floating.views.get(), floating.window->contentView().get()};
  return {};
}

bool show_frame_in_active_panel(const ActivePanel& panel, const RgbaFrame& frame) {
  return panel.views != nullptr && show_frame_in_panel(*panel.views, *panel.container, frame);
}

void stop_hidden_panel(DockedHome& docked, FloatingHome& floating, bool docked_usable, bool hold_picture) {
  if (PanelViews* d = built_docked(docked); docked_usable && d != nullptr) {
    reap_present_workers();
    if (d->cpu && !hold_picture) d->cpu->represent_retained_frame();
  }
  PanelViews* f = built_floating(floating);
  if (f == nullptr) return;
  if (floating.window->isVisible()) {
    reap_present_workers();
    if (f->cpu && !hold_picture) f->cpu->represent_retained_frame();
  } else {
    end_panel_scrubs(*f);
  }
}

void relayout_homes(DockedHome& docked, FloatingHome& floating, bool aspect_known, double aspect) {
  auto relayout = [&](PanelViews& views, const platform::NSView& container) {
    set_layout_aspect(views, &container, kLayoutModeFit, 0, aspect_known, aspect);
    layout_panel(views, container);
  };
  if (PanelViews* d = built_docked(docked)) relayout(*d, *docked.container);
  if (PanelViews* f = built_floating(floating); f != nullptr && floating.window->contentView()) {
    relayout(*f, *floating.window->contentView());
  }
}

void apply_update_banner(DockedHome& docked, FloatingHome& floating, const std::optional<std::string>& title) {
  if (PanelViews* d = built_docked(docked)) {
    set_update_banner(*d, title);
    layout_panel(*d, *docked.container);
  }
  if (PanelViews* f = built_floating(floating)) {
    set_update_banner(*f, title);
    if (floating.window->contentView()) layout_panel(*f, *floating.window->contentView());
  }
}

void invalidate_home_presenters(DockedHome& docked, FloatingHome& floating) {
  for (PanelViews* v : {built_docked(docked), built_floating(floating)}) {
    if (v != nullptr && v->cpu) v->cpu->invalidate();
    if (v != nullptr && v->metal) cancel_present_job(*v->metal->job);
  }
}

void blank_homes(DockedHome& docked, FloatingHome& floating) {
  for (PanelViews* v : {built_docked(docked), built_floating(floating)}) {
    if (v == nullptr) continue;
    if (v->cpu) v->cpu->blank();
    if (v->metal) cancel_and_clear_present_job(*v->metal->job);
    v->display_view->setImage(nullptr);
    v->strip_view->setImage(nullptr);
  }
}

void stop_home_presenters(DockedHome& docked, FloatingHome& floating) {
  if (docked.views) docked.views->cpu.reset();
  if (floating.views) floating.views->cpu.reset();
}

void set_detail_texts(DockedHome& docked, FloatingHome& floating, std::string_view text, bool hidden_floating_too) {
  if (PanelViews* d = built_docked(docked)) set_status_label(*d->detail_label, text);
  PanelViews* f = built_floating(floating);
  if (f != nullptr && (hidden_floating_too || floating.window->isVisible())) set_status_label(*f->detail_label, text);
}

StripPixels strip_pixel_size(const ActivePanel& panel) {
  if (panel.views == nullptr) return {};
  const platform::NSWindow* w = panel.container->window();
  const double s = std::max(w != nullptr ? w->backingScaleFactor() : 1.0, 1.0);
  const double width = std::clamp(std::round(panel.views->strip_view->frame().width * s), 0.0, 16384.0);
  return {static_cast<uint32_t>(width), static_cast<uint32_t>(std::round(12.0 * s))};
}

void show_strip(const ActivePanel& panel, const std::vector<uint8_t>& pixels, StripPixels size) {
  if (panel.views == nullptr) return;
  if (pixels.empty()) {
    panel.views->strip_view->setImage(nullptr);
    return;
  }
  (void)present_bitmap_cpu(*panel.views->strip_view, pixels.data(), pixels.size(), size.width, size.height, false,
                           nullptr);
}

}  // namespace vel
