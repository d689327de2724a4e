#include "platform/appkit_controls.h"

namespace platform {

bool NSControl::sendAction() {
  std::shared_ptr<NSObject> t = target_.lock();
  if (!t || action_.empty()) return false;
  return t->performAction(action_, this);
}

std::shared_ptr<NSTextField> NSTextField::initWithFrame(NSRect frame) { return std::make_shared<NSTextField>(frame); }

void NSTextField::setStringValue(std::string text) {
  string_ = std::move(text);
  ++string_sets_;
}

namespace {

std::shared_ptr<NSButton> make_button(std::string title, const std::shared_ptr<NSObject>& target,
                                      std::string action) {
  auto b = std::make_shared<NSButton>(NSRect{});
  b->setTitle(std::move(title));
  b->setTarget(target);
  b->setAction(std::move(action));
  return b;
}

}  // namespace

std::shared_ptr<NSButton> NSButton::buttonWithTitle(std::string title, const std::shared_ptr<NSObject>& target,
                                                    std::string action) {
  return make_button(std::move(title), target, std::move(action));
}

std::shared_ptr<NSButton> NSButton::checkboxWithTitle(std::string title, const std::shared_ptr<NSObject>& target,
                                                      std::string action) {
  auto b = make_button(std::move(title), target, std::move(action));
  b->checkbox_ = true;
  b->bordered_ = false;
  b->bezel_style_ = NSBezelStyle::None;
  return b;
}

void NSButton::setTitle(std::string title) {
  title_ = std::move(title);
  ++title_sets_;
}

void NSButton::performClick() {
  if (checkbox_) state_ = state_ == 1 ? 0 : 1;
  sendAction();
}

void NSButton::mouseDown(const NSEvent&) { performClick(); }

std::shared_ptr<NSPopUpButton> NSPopUpButton::initWithFrame(NSRect frame, bool pullsDown) {
  auto p = std::make_shared<NSPopUpButton>(frame);
  p->pulls_down_ = pullsDown;
  return p;
}

void NSPopUpButton::selectItemAtIndex(int64_t index) {
  selected_ = index >= 0 && index < numberOfItems() ? index : -1;
}

std::string NSPopUpButton::titleOfSelectedItem() const {
  return selected_ >= 0 && selected_ < numberOfItems() ? items_[static_cast<size_t>(selected_)] : std::string();
}

void NSPopUpButton::chooseItemAtIndex(int64_t index) {
  selectItemAtIndex(index);
  sendAction();
}

}  // namespace platform
