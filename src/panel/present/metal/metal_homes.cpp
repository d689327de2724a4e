#include "panel/present/metal/metal_homes.h"

#include "cache/memory_pressure.h"
#include "panel/panel_views.h"
#include "panel/present/present_request.h"

namespace vel {
namespace {

PanelViews* docked_metal_panel(DockedHome& docked, bool docked_usable) {
  if (!docked_usable || !docked.container || !docked.views || !docked.views->metal) return nullptr;
  return docked.views.get();
}

// The floating panel when its window is visible; a hidden one ends its
// scrubs and answers none.
PanelViews* visible_floating_panel(FloatingHome& floating) {
  if (!floating.window || !floating.views) return nullptr;
  if (!floating.window->isVisible()) {
    end_panel_scrubs(*floating.views);
    return nullptr;
  }
  return floating.views.get();
}

}  // namespace

bool panel_can_present(DockedHome& docked, FloatingHome& floating, bool docked_usable) {
  if (docked_metal_panel(docked, docked_usable) != nullptr) return true;
  const PanelViews* f = visible_floating_panel(floating);
  return f != nullptr && f->metal != nullptr;
}

PresenterReport take_floating_present_result(DockedHome& docked, FloatingHome& floating, bool docked_usable) {
  if (PanelViews* d = docked_metal_panel(docked, docked_usable)) {
    if (auto r = read_presenter_result(*d->metal->job)) return r;
  }
  const PanelViews* f = visible_floating_panel(floating);
  if (f == nullptr || !f->metal) return std::nullopt;
  return read_presenter_result(*f->metal->job);
}

uint64_t take_worker_missed_frames(DockedHome& docked, FloatingHome& floating, bool docked_usable) {
  uint64_t n = 0;
  if (PanelViews* d = docked_metal_panel(docked, docked_usable)) n += d->metal->job->missed.exchange(0);
  if (const PanelViews* f = visible_floating_panel(floating); f != nullptr && f->metal) {
    n += f->metal->job->missed.exchange(0);
  }
  return n;
}

ActivePanel metal_home_panel(DockedHome& docked, FloatingHome& floating, bool in_docked) {
  if (in_docked) {
    if (!docked.container || !docked.views || !docked.views->metal) return {};
    return {docked.views.get(), docked.container.get()};
  }
  if (!floating.window || !floating.views || !floating.views->metal) return {};
  return {floating.views.get(), floating.window->contentView().get()};
}

PresenterReport metal_home_result(const ActivePanel& panel) {
  if (panel.views == nullptr || !panel.views->metal) return std::nullopt;
  return read_presenter_result(*panel.views->metal->job);
}

std::optional<int64_t> metal_home_screen_index(const ActivePanel& panel) {
  if (panel.views == nullptr || !panel.views->metal) return std::nullopt;
  return read_screen_index(*panel.views->metal->job);
}

void dispatch_present_job(const ActivePanel& panel, PresentPost post) {
  if (panel.views == nullptr || !panel.views->metal) return;
  post_present_job(*panel.views->metal->job, std::move(post), read_present_request(), memory_pressure_percent());
}

std::optional<int64_t> dispatch_playback_stop(const ActivePanel& panel, PresentPost post) {
  if (panel.views == nullptr || !panel.views->metal) return std::nullopt;
  return post_playback_stop(*panel.views->metal->job, std::move(post), read_present_request(),
                            memory_pressure_percent());
}

}  // namespace vel
