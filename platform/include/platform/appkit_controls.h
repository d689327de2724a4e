// AppKit controls, headless: text fields, buttons and checkboxes, pop-up
// buttons. A control keeps a weak reference to its target, as AppKit does
// not retain targets; whoever built the control keeps the target alive.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/appkit_view.h"

namespace platform {

enum class NSTextAlignment : int64_t { Left = 0, Right = 1, Center = 2, Justified = 3, Natural = 4 };
enum class NSControlSize : int64_t { Regular = 0, Small = 1, Mini = 2, Large = 3 };
enum class NSBezelStyle : int64_t { None = 0, Rounded = 1 };

class NSControl : public NSView {
 public:
  using NSView::NSView;

  void setTarget(const std::shared_ptr<NSObject>& target) { target_ = target; }
  std::shared_ptr<NSObject> target() const { return target_.lock(); }
  void setAction(std::string action) { action_ = std::move(action); }
  const std::string& action() const { return action_; }
  // sendAction:to: with the control's own action and target; false when the
  // target is gone or does not handle the action.
  bool sendAction();

  const NSFont& font() const { return font_; }
  void setFont(NSFont font) { font_ = font; }
  NSControlSize controlSize() const { return control_size_; }
  void setControlSize(NSControlSize size) { control_size_ = size; }

 private:
  std::weak_ptr<NSObject> target_;
  std::string action_;
  NSFont font_ = NSFont::systemFontOfSize(13.0);
  NSControlSize control_size_ = NSControlSize::Regular;
};

class NSTextField : public NSControl {
 public:
  static std::shared_ptr<NSTextField> initWithFrame(NSRect frame);
  using NSControl::NSControl;

  const std::string& stringValue() const { return string_; }
  void setStringValue(std::string text);
  // setStringValue: calls so far (stand-in record).
  uint64_t stringSets() const { return string_sets_; }

  const NSColor& textColor() const { return text_color_; }
  void setTextColor(NSColor color) { text_color_ = color; }
  NSTextAlignment alignment() const { return alignment_; }
  void setAlignment(NSTextAlignment alignment) { alignment_ = alignment; }
  bool isBezeled() const { return bezeled_; }
  void setBezeled(bool on) { bezeled_ = on; }
  bool drawsBackground() const { return draws_background_; }
  void setDrawsBackground(bool on) { draws_background_ = on; }
  bool isEditable() const { return editable_; }
  void setEditable(bool on) { editable_ = on; }
  bool isSelectable() const { return selectable_; }
  void setSelectable(bool on) { selectable_ = on; }

 private:
  std::string string_;
  uint64_t string_sets_ = 0;
  NSColor text_color_ = NSColor::labelColor();
  NSTextAlignment alignment_ = NSTextAlignment::Natural;
  bool bezeled_ = true;
  bool draws_background_ = true;
  bool editable_ = true;
  bool selectable_ = true;
};

class NSButton : public NSControl {
 public:
  // buttonWithTitle:target:action: — a push button.
  static std::shared_ptr<NSButton> buttonWithTitle(std::string title, const std::shared_ptr<NSObject>& target,
                                                   std::string action);
  // checkboxWithTitle:target:action:
  static std::shared_ptr<NSButton> checkboxWithTitle(std::string title, const std::shared_ptr<NSObject>& target,
                                                     std::string action);
  using NSControl::NSControl;

  const std::string& title() const { return title_; }
  void setTitle(std::string title);
  uint64_t titleSets() const { return title_sets_; }
  // 1 on, 0 off, -1 mixed.
  int64_t state() const { return state_; }
  void setState(int64_t state) { state_ = state; }
  bool isCheckbox() const { return checkbox_; }
  bool isBordered() const { return bordered_; }
  void setBordered(bool on) { bordered_ = on; }
  NSBezelStyle bezelStyle() const { return bezel_style_; }
  void setBezelStyle(NSBezelStyle style) { bezel_style_ = style; }
  const std::optional<NSColor>& bezelColor() const { return bezel_color_; }
  void setBezelColor(NSColor color) { bezel_color_ = color; }

  // A click: a checkbox flips its state, then the action is sent.
  void performClick();
  void mouseDown(const NSEvent& event) override;
  bool acceptsFirstMouse(const NSEvent*) const override { return true; }

 private:
  std::string title_;
  uint64_t title_sets_ = 0;
  int64_t state_ = 0;
  bool checkbox_ = false;
  bool bordered_ = true;
  NSBezelStyle bezel_style_ = NSBezelStyle::Rounded;
  std::optional<NSColor> bezel_color_;
};

class NSPopUpButton : public NSControl {
 public:
  // initWithFrame:pullsDown:
  static std::shared_ptr<NSPopUpButton> initWithFrame(NSRect frame, bool pullsDown);
  using NSControl::NSControl;

  void addItemWithTitle(std::string title) { items_.push_back(std::move(title)); }
  const std::vector<std::string>& itemTitles() const { return items_; }
  int64_t numberOfItems() const { return static_cast<int64_t>(items_.size()); }
  // An index outside the items selects nothing (-1).
  void selectItemAtIndex(int64_t index);
  int64_t indexOfSelectedItem() const { return selected_; }
  // The selected item's title; empty when nothing is selected.
  std::string titleOfSelectedItem() const;
  bool pullsDown() const { return pulls_down_; }

  // The user picks an item from the menu: it is selected, then the action
  // is sent.
  void chooseItemAtIndex(int64_t index);

 private:
  std::vector<std::string> items_;
  int64_t selected_ = -1;
  bool pulls_down_ = false;
};

}  // namespace platform
