#include "ui/panel_host.h"

#include <algorithm>

namespace sim {

Status PanelHost::open(const PanelEntry& entry, AEGP_GlobalRefcon global_refcon, double width, double height,
                       double scale) {
  if (DockedPanel* open = by_name(entry.match_name)) {
    open->window->setContentSize({width, height});
    open->window->setBackingScaleFactor(scale);
    open->window->makeKeyAndOrderFront();
    return done();
  }
  auto panel = std::make_unique<DockedPanel>();
  panel->match_name = entry.match_name;
  panel->window = platform::NSWindow::initWithContentRect({0.0, 0.0, width, height});
  panel->window->setBackingScaleFactor(scale);
  panel->window->setTitle(entry.match_name);
  panel->window->makeKeyAndOrderFront();
  DockedPanel* p = panel.get();
  panels_.push_back(std::move(panel));
  p->create_err = entry.hook(global_refcon, entry.refcon, p->window->contentView().get(),
                             reinterpret_cast<AEGP_PanelH>(p), &p->functions, &p->refcon);
  if (p->create_err != A_Err_NONE) return fail("panel " + entry.match_name + ": creation hook failed");
  // The host docks the tab: it asks for snap sizes and builds the flyout.
  if (p->functions.GetSnapSizes != nullptr) {
    A_LPoint sizes[8] = {};
    A_long count = 8;
    if (p->functions.GetSnapSizes(p->refcon, sizes, &count) == A_Err_NONE) p->snap_sizes = std::clamp<A_long>(count, 0, 8);
  }
  if (p->functions.PopulateFlyout != nullptr) (void)p->functions.PopulateFlyout(p->refcon, nullptr);
  return done();
}

DockedPanel* PanelHost::by_handle(AEGP_PanelH handle) {
  for (const auto& p : panels_) {
    if (reinterpret_cast<AEGP_PanelH>(p.get()) == handle) return p.get();
  }
  return nullptr;
}

DockedPanel* PanelHost::by_name(const std::string& match_name) {
  for (const auto& p : panels_) {
    if (p->match_name == match_name) return p.get();
  }
  return nullptr;
}

std::shared_ptr<platform::NSWindow> panel_event_window(const PanelHost& host) {
  for (const auto& p : host.panels()) {
    if (p->window->isVisible()) return p->window;
  }
  std::shared_ptr<platform::NSWindow> front;
  for (const auto& w : platform::NSWindow::windows()) {
    bool docked = false;
    for (const auto& p : host.panels()) docked = docked || p->window == w;
    if (!docked && w->isVisible()) front = w;
  }
  return front;
}

}  // namespace sim
