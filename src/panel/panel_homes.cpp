#include "panel/panel_homes.h"

#include "panel/present_workers.h"

namespace vel {

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
  if (docked_usable && docked.container && docked.views) h.docked = docked.views.get();
  if (floating.window && floating.views) {
    h.floating = floating.views.get();
    h.floating_visible = floating.window->isVisible();
  }
  return h;
}

ActivePanel active_panel(DockedHome& docked, FloatingHome& floating) {
  if (docked_panel_shown(docked)) return {docked.views.get(), docked.container.get()};
  if (floating_panel_shown(floating)) return {floating.views.get(), floating.window->contentView().get()};
  return {};
}

void stop_hidden_panel(DockedHome& docked, FloatingHome& floating, bool docked_usable) {
  if (docked_usable && docked.container && docked.views) {
    reap_present_workers();
    if (docked.views->cpu) docked.views->cpu->represent_retained_frame();
  }
  if (!floating.window || !floating.views) return;
  if (floating.window->isVisible()) {
    reap_present_workers();
    if (floating.views->cpu) floating.views->cpu->represent_retained_frame();
  } else {
    end_panel_scrubs(*floating.views);
  }
}

}  // namespace vel
