#include "ui/panel_events.h"

#include <algorithm>
#include <chrono>

#include "platform/appkit_controls.h"
#include "ui/panel_painter.h"

namespace sim {
namespace {

using platform::NSWindow;

double number(const nlohmann::json& e, const char* key, double fallback) {
  auto it = e.find(key);
  return it != e.end() && it->is_number() ? it->get<double>() : fallback;
}

std::string text(const nlohmann::json& e, const char* key, const std::string& fallback) {
  auto it = e.find(key);
  return it != e.end() && it->is_string() ? it->get<std::string>() : fallback;
}

bool flag(const nlohmann::json& e, const char* key) {
  auto it = e.find(key);
  return it != e.end() && it->is_boolean() && it->get<bool>();
}

platform::NSEvent mouse_event(double x, double y, bool shift) {
  platform::NSEvent ev;
  ev.locationInWindow = {x, y};
  ev.modifierFlags = shift ? platform::NSEventModifierFlagShift : 0;
  return ev;
}

void mouse_down(NSWindow& w, double x, double y, bool shift) {
  platform::NSEvent::setPressedMouseButtons(1);
  w.sendEvent(NSWindow::EventType::LeftMouseDown, mouse_event(x, y, shift));
}

void mouse_up(NSWindow& w, double x, double y, bool shift) {
  platform::NSEvent::setPressedMouseButtons(0);
  w.sendEvent(NSWindow::EventType::LeftMouseUp, mouse_event(x, y, shift));
}

// The button showing `title` anywhere in the window, with its frame in
// window coordinates.
const platform::NSButton* find_button(const platform::NSView& v, const std::string& title, double ox, double oy,
                                      platform::NSRect& where) {
  for (const auto& sub : v.subviews()) {
    if (sub->isHidden()) continue;
    const platform::NSRect f = sub->frame();
    if (auto* b = dynamic_cast<const platform::NSButton*>(sub.get()); b && b->title() == title) {
      where = {ox + f.x, oy + f.y, f.width, f.height};
      return b;
    }
    if (auto* found = find_button(*sub, title, ox + f.x, oy + f.y, where)) return found;
  }
  return nullptr;
}

Status press_button(NSWindow& w, const std::string& title) {
  platform::NSRect r;
  if (!w.contentView() || !find_button(*w.contentView(), title, 0, 0, r)) {
    return fail("no button showing \"" + title + "\"");
  }
  const double x = r.x + r.width / 2, y = r.y + r.height / 2;
  mouse_down(w, x, y, false);
  mouse_up(w, x, y, false);
  return done();
}

}  // namespace

const platform::NSImageView* largest_image_view(const platform::NSView& v) {
  const platform::NSImageView* best = nullptr;
  for (const auto& sub : v.subviews()) {
    const platform::NSImageView* found = dynamic_cast<const platform::NSImageView*>(sub.get());
    const platform::NSImageView* deeper = largest_image_view(*sub);
    for (const platform::NSImageView* c : {found, deeper}) {
      if (c == nullptr) continue;
      const double area = c->frame().width * c->frame().height;
      if (best == nullptr || area > best->frame().width * best->frame().height) best = c;
    }
  }
  return best;
}

namespace {

void collect_texts(const platform::NSView& v, std::vector<std::string>& out) {
  for (const auto& sub : v.subviews()) {
    if (sub->isHidden()) continue;
    if (auto* t = dynamic_cast<const platform::NSTextField*>(sub.get())) out.push_back(t->stringValue());
    if (auto* b = dynamic_cast<const platform::NSButton*>(sub.get())) out.push_back(b->title());
    if (auto* p = dynamic_cast<const platform::NSPopUpButton*>(sub.get())) out.push_back(p->titleOfSelectedItem());
    collect_texts(*sub, out);
  }
}

}  // namespace

std::vector<std::string> window_texts(const platform::NSView& content) {
  std::vector<std::string> out;
  collect_texts(content, out);
  return out;
}

std::string output_path(const std::string& out_dir, const std::string& path) {
  return !path.empty() && path.front() == '/' ? path : out_dir + "/" + path;
}

Status run_panel_event(Host& h, AEGP_GlobalRefcon refcon, const ScenarioEvent& ev, const std::string& out_dir,
                       PanelRunStats& stats, ScreenshotWriter& shots) {
  ++stats.events;
  const nlohmann::json& e = ev.value;
  const std::string name = text(e, "name", kDefaultPanelName);
  if (ev.kind == EventKind::open_panel) {
    std::optional<PanelEntry> entry = h.hooks.find_panel(name);
    if (!entry) return fail("no panel registered as \"" + name + "\"");
    const double w = number(e, "width", 960), ht = number(e, "height", 578), s = number(e, "scale", 2);
    if (!(w >= 1 && ht >= 1 && w <= 4096 && ht <= 4096 && s >= 1 && s <= 4)) return fail("panel size out of range");
    return h.panels.open(*entry, refcon, w, ht, s);
  }
  if (ev.kind == EventKind::show_panel || ev.kind == EventKind::hide_panel || ev.kind == EventKind::resize_panel) {
    DockedPanel* p = h.panels.by_name(name);
    if (p == nullptr) return fail("panel \"" + name + "\" is not open");
    if (ev.kind == EventKind::show_panel) p->window->makeKeyAndOrderFront();
    if (ev.kind == EventKind::hide_panel) p->window->orderOut();
    if (ev.kind == EventKind::resize_panel) {
      const double w = number(e, "width", 0), ht = number(e, "height", 0);
      if (!(w >= 1 && ht >= 1 && w <= 4096 && ht <= 4096)) return fail("panel size out of range");
      p->window->setContentSize({w, ht});
    }
    return done();
  }

  std::shared_ptr<NSWindow> w = panel_event_window(h.panels);
  if (!w) return fail("no panel window on screen");
  const double x = number(e, "x", 0), y = number(e, "y", 0);
  const bool shift = flag(e, "shift");
  switch (ev.kind) {
    case EventKind::click:
      mouse_down(*w, x, y, shift);
      mouse_up(*w, x, y, shift);
      return done();
    case EventKind::mouse_down:
      mouse_down(*w, x, y, shift);
      return done();
    case EventKind::mouse_drag:
      w->sendEvent(NSWindow::EventType::LeftMouseDragged, mouse_event(x, y, shift));
      return done();
    case EventKind::mouse_up:
      mouse_up(*w, x, y, shift);
      return done();
    case EventKind::drag: {
      const double tx = number(e, "to_x", x), ty = number(e, "to_y", y);
      const int steps = static_cast<int>(std::clamp(number(e, "steps", 8), 1.0, 1000.0));
      mouse_down(*w, x, y, shift);
      for (int i = 1; i <= steps; ++i) {
        const double k = static_cast<double>(i) / steps;
        w->sendEvent(NSWindow::EventType::LeftMouseDragged, mouse_event(x + (tx - x) * k, y + (ty - y) * k, shift));
      }
      mouse_up(*w, tx, ty, shift);
      return done();
    }
    case EventKind::key: {
      platform::NSEvent k;
      k.charactersIgnoringModifiers = text(e, "chars", "");
      k.modifierFlags = shift ? platform::NSEventModifierFlagShift : 0;
      w->sendEvent(NSWindow::EventType::KeyDown, k);
      return done();
    }
    case EventKind::play: return press_button(*w, "\xE2\x96\xB6");
    case EventKind::pause: return press_button(*w, "\xE2\x9D\x9A\xE2\x9D\x9A");
    case EventKind::screenshot: {
      const std::string path = output_path(out_dir, text(e, "path", "panel.png"));
      Result<PaintedWindowPtr> painted = paint_window(*w);
      if (!painted) return fail(painted.error());
      stats.screenshot_ms[path] =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
      shots.write_later(std::move(painted).value(), path);
      stats.screenshots.push_back(path);
      return done();
    }
    default: return fail("not a panel event");
  }
}

}  // namespace sim
