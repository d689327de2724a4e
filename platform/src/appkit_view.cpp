#include "platform/appkit_view.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace platform {
namespace {

std::atomic<uint64_t> g_pressed_buttons{0};
std::atomic<bool> g_app_active{true};

// Every window alive; views reach it to drop themselves as responders when
// they end. Never destroyed: views may end during process exit.
struct WindowList {
  std::mutex mutex;
  std::vector<std::weak_ptr<NSWindow>> windows;
};
WindowList& window_list() {
  static WindowList& w = *new WindowList();
  return w;
}

}  // namespace

std::shared_ptr<NSAppearance> NSAppearance::appearanceNamed(std::string_view name) {
  if (name != NSAppearanceNameAqua && name != NSAppearanceNameDarkAqua) return nullptr;
  auto a = std::make_shared<NSAppearance>();
  a->name_ = std::string(name);
  return a;
}

uint64_t NSEvent::pressedMouseButtons() { return g_pressed_buttons.load(std::memory_order_acquire); }
void NSEvent::setPressedMouseButtons(uint64_t buttons) { g_pressed_buttons.store(buttons, std::memory_order_release); }

bool NSApplication::isActive() { return g_app_active.load(std::memory_order_acquire); }
void NSApplication::setActive(bool active) { g_app_active.store(active, std::memory_order_release); }

// --- NSView ------------------------------------------------------------------

std::shared_ptr<NSView> NSView::initWithFrame(NSRect frame) { return std::make_shared<NSView>(frame); }

NSView::NSView(NSRect frame) : frame_(frame) {}

NSView::~NSView() {
  for (const std::shared_ptr<NSView>& v : subviews_) v->superview_ = nullptr;
  for (const std::shared_ptr<NSWindow>& w : NSWindow::windows()) w->forgetView(this);
}

void NSView::setFrame(NSRect frame) {
  frame_ = frame;
  ++frame_sets_;
}

void NSView::setHidden(bool hidden) {
  if (hidden_ == hidden) return;
  const bool was_shown = !isHiddenOrHasHiddenAncestor();
  hidden_ = hidden;
  if (hidden && was_shown) sendDidHide();
}

void NSView::sendDidHide() {
  viewDidHide();
  for (const std::shared_ptr<NSView>& v : subviews_) {
    if (!v->hidden_) v->sendDidHide();
  }
}

bool NSView::isHiddenOrHasHiddenAncestor() const {
  for (const NSView* v = this; v != nullptr; v = v->superview_) {
    if (v->hidden_) return true;
  }
  return false;
}

NSWindow* NSView::window() const {
  const NSView* v = this;
  while (v->superview_ != nullptr) v = v->superview_;
  return v->root_window_;
}

void NSView::willMoveToWindow(NSWindow* window) {
  viewWillMoveToWindow(window);
  for (const std::shared_ptr<NSView>& v : subviews_) v->willMoveToWindow(window);
}

void NSView::addSubview(std::shared_ptr<NSView> view) {
  if (!view || view.get() == this) return;
  NSWindow* target = window();
  if (view->window() != target) view->willMoveToWindow(target);
  if (view->superview_ != nullptr) {
    auto& old = view->superview_->subviews_;
    old.erase(std::remove(old.begin(), old.end(), view), old.end());
  }
  view->superview_ = this;
  subviews_.push_back(std::move(view));
}

void NSView::removeFromSuperview() {
  if (superview_ == nullptr) return;
  if (window() != nullptr) willMoveToWindow(nullptr);
  NSView* parent = superview_;
  superview_ = nullptr;
  auto& list = parent->subviews_;
  // The parent's reference may be the last one: erase it after the fields
  // of this view are no longer used.
  auto it = std::find_if(list.begin(), list.end(), [this](const auto& v) { return v.get() == this; });
  if (it != list.end()) {
    std::shared_ptr<NSView> keep = *it;
    list.erase(it);
  }
}

NSPoint NSView::convertPointFromWindow(NSPoint p) const {
  for (const NSView* v = this; v != nullptr; v = v->superview_) {
    // A window's content view sits at the window's origin whatever its frame.
    if (v->superview_ == nullptr && v->root_window_ != nullptr) break;
    p.x -= v->frame_.x;
    p.y -= v->frame_.y;
  }
  return p;
}

NSView* NSView::hitTest(NSPoint p) {
  if (hidden_) return nullptr;
  const bool inside = p.x >= frame_.x && p.y >= frame_.y && p.x < frame_.x + frame_.width &&
                      p.y < frame_.y + frame_.height;
  if (!inside) return nullptr;
  const NSPoint local{p.x - frame_.x, p.y - frame_.y};
  for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
    if (NSView* hit = (*it)->hitTest(local)) return hit;
  }
  return this;
}

void NSView::mouseDown(const NSEvent& event) {
  if (superview_ != nullptr) superview_->mouseDown(event);
}
void NSView::mouseDragged(const NSEvent& event) {
  if (superview_ != nullptr) superview_->mouseDragged(event);
}
void NSView::mouseUp(const NSEvent& event) {
  if (superview_ != nullptr) superview_->mouseUp(event);
}
void NSView::keyDown(const NSEvent& event) {
  if (superview_ != nullptr) superview_->keyDown(event);
}

// --- NSWindow ----------------------------------------------------------------

std::shared_ptr<NSWindow> NSWindow::initWithContentRect(NSRect rect) {
  std::shared_ptr<NSWindow> w(new NSWindow());
  w->frame_ = rect;
  w->setContentView(NSView::initWithFrame({0.0, 0.0, rect.width, rect.height}));
  WindowList& list = window_list();
  std::lock_guard lock(list.mutex);
  list.windows.push_back(w);
  return w;
}

NSWindow::~NSWindow() {
  if (content_) {
    content_->willMoveToWindow(nullptr);
    content_->root_window_ = nullptr;
  }
}

void NSWindow::setContentView(std::shared_ptr<NSView> view) {
  if (content_) {
    content_->willMoveToWindow(nullptr);
    content_->root_window_ = nullptr;
  }
  first_responder_ = nullptr;
  mouse_target_ = nullptr;
  content_ = std::move(view);
  if (!content_) return;
  content_->removeFromSuperview();
  content_->willMoveToWindow(this);
  content_->root_window_ = this;
  content_->setFrame({0.0, 0.0, frame_.width, frame_.height});
}

void NSWindow::setContentSize(NSSize size) {
  frame_.width = size.width;
  frame_.height = size.height;
  if (content_) content_->setFrame({0.0, 0.0, size.width, size.height});
}

bool NSWindow::makeFirstResponder(NSView* view) {
  if (view == first_responder_) return true;
  if (first_responder_ != nullptr && !first_responder_->resignFirstResponder()) return false;
  first_responder_ = nullptr;
  if (view != nullptr && (view->window() != this || !view->acceptsFirstResponder())) return false;
  first_responder_ = view;
  return true;
}

void NSWindow::sendEvent(EventType type, const NSEvent& event) {
  if (!content_) return;
  switch (type) {
    case EventType::LeftMouseDown: {
      mouse_target_ = content_->hitTest(event.locationInWindow);
      if (mouse_target_ != nullptr) mouse_target_->mouseDown(event);
      break;
    }
    case EventType::LeftMouseDragged:
      if (mouse_target_ != nullptr) mouse_target_->mouseDragged(event);
      break;
    case EventType::LeftMouseUp: {
      NSView* target = mouse_target_;
      mouse_target_ = nullptr;
      if (target != nullptr) target->mouseUp(event);
      break;
    }
    case EventType::KeyDown: {
      NSView* target = first_responder_ != nullptr ? first_responder_ : content_.get();
      if (event.charactersIgnoringModifiers && *event.charactersIgnoringModifiers == "\x1b") {
        target->cancelOperation(nullptr);
      } else {
        target->keyDown(event);
      }
      break;
    }
  }
}

void NSWindow::forgetView(const NSView* view) {
  if (first_responder_ == view) first_responder_ = nullptr;
  if (mouse_target_ == view) mouse_target_ = nullptr;
}

std::vector<std::shared_ptr<NSWindow>> NSWindow::windows() {
  WindowList& list = window_list();
  std::lock_guard lock(list.mutex);
  std::vector<std::shared_ptr<NSWindow>> out;
  std::vector<std::weak_ptr<NSWindow>> kept;
  for (const std::weak_ptr<NSWindow>& w : list.windows) {
    if (auto s = w.lock()) {
      out.push_back(std::move(s));
      kept.push_back(w);
    }
  }
  list.windows = std::move(kept);
  return out;
}

}  // namespace platform
