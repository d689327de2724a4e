// The view side of AppKit, headless: views with frames, hidden flags and
// ordered subviews, the responder methods a view subclass overrides, events,
// windows, colours, fonts and appearances. Names follow the framework's so
// that a port maps one to one. Classes the plug-in creates at run time in
// the real framework (its scrub view, its control targets) are ordinary C++
// subclasses here. Objects are reference-counted (shared_ptr stands in for
// retain/release) and touched on the main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct NSPoint {
  double x = 0.0;
  double y = 0.0;
};

struct NSSize {
  double width = 0.0;
  double height = 0.0;
};

// Origin at the bottom left, in points.
struct NSRect {
  double x = 0.0;
  double y = 0.0;
  double width = 0.0;
  double height = 0.0;
  friend bool operator==(const NSRect&, const NSRect&) = default;
};

struct NSColor {
  double red = 0.0, green = 0.0, blue = 0.0, alpha = 1.0;
  static NSColor colorWithSRGBRed(double r, double g, double b, double a) { return {r, g, b, a}; }
  static NSColor whiteColor() { return {1.0, 1.0, 1.0, 1.0}; }
  static NSColor labelColor() { return {0.0, 0.0, 0.0, 0.85}; }
  friend bool operator==(const NSColor&, const NSColor&) = default;
};

struct NSFont {
  double pointSize = 13.0;
  bool bold = false;
  static NSFont systemFontOfSize(double size) { return {size, false}; }
  static NSFont boldSystemFontOfSize(double size) { return {size, true}; }
  friend bool operator==(const NSFont&, const NSFont&) = default;
};

inline constexpr std::string_view NSAppearanceNameAqua = "NSAppearanceNameAqua";
inline constexpr std::string_view NSAppearanceNameDarkAqua = "NSAppearanceNameDarkAqua";

class NSAppearance {
 public:
  // The named system appearance; null for a name the system does not know.
  static std::shared_ptr<NSAppearance> appearanceNamed(std::string_view name);
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

inline constexpr uint64_t NSEventModifierFlagShift = 0x20000;

struct NSEvent {
  NSPoint locationInWindow;
  uint64_t modifierFlags = 0;
  // Key events only; none for events that carry no text.
  std::optional<std::string> charactersIgnoringModifiers;

  // Bit 0: the left button is down. The stand-in host sets it as its
  // pointer moves.
  static uint64_t pressedMouseButtons();
  static void setPressedMouseButtons(uint64_t buttons);
};

// Anything a control may name as its target. The selector is the action's
// name ("togglePlay:"); answers whether the target handled it.
class NSObject {
 public:
  virtual ~NSObject() = default;
  virtual bool performAction(std::string_view /*selector*/, NSObject* /*sender*/) { return false; }
};

class NSWindow;

class CAMetalLayer;

class NSView : public NSObject, public std::enable_shared_from_this<NSView> {
 public:
  static std::shared_ptr<NSView> initWithFrame(NSRect frame);
  explicit NSView(NSRect frame = {});
  ~NSView() override;
  NSView(const NSView&) = delete;
  NSView& operator=(const NSView&) = delete;

  NSRect frame() const { return frame_; }
  virtual void setFrame(NSRect frame);
  // (0, 0, width, height) of the frame.
  NSRect bounds() const { return {0.0, 0.0, frame_.width, frame_.height}; }
  // How many setFrame: calls changed or kept the frame (stand-in record).
  uint64_t frameSets() const { return frame_sets_; }

  bool isHidden() const { return hidden_; }
  // Hiding sends viewDidHide to the view and every subview.
  void setHidden(bool hidden);
  // Hidden itself or under a hidden superview.
  bool isHiddenOrHasHiddenAncestor() const;

  // Adds above the existing subviews; a view moves from its old superview.
  void addSubview(std::shared_ptr<NSView> view);
  void removeFromSuperview();
  const std::vector<std::shared_ptr<NSView>>& subviews() const { return subviews_; }
  NSView* superview() const { return superview_; }
  NSWindow* window() const;

  // convertPoint:fromView:nil: a point in window coordinates into the view's.
  NSPoint convertPointFromWindow(NSPoint p) const;
  // The frontmost visible descendant (or self) under `p`, given in the
  // superview's coordinates; null outside.
  NSView* hitTest(NSPoint p);

  bool wantsLayer() const { return wants_layer_; }
  void setWantsLayer(bool wants) { wants_layer_ = wants; }
  // The stand-in knows one kind of layer: the Metal layer a layer-hosting
  // view shows (metal.h).
  const std::shared_ptr<CAMetalLayer>& layer() const { return layer_; }
  void setLayer(std::shared_ptr<CAMetalLayer> layer) { layer_ = std::move(layer); }

  const std::shared_ptr<NSAppearance>& appearance() const { return appearance_; }
  void setAppearance(std::shared_ptr<NSAppearance> appearance) { appearance_ = std::move(appearance); }

  // Responder methods. The defaults pass mouse and key events up to the
  // superview, as the responder chain does.
  virtual bool acceptsFirstResponder() const { return false; }
  virtual bool acceptsFirstMouse(const NSEvent* /*event*/) const { return false; }
  virtual bool resignFirstResponder() { return true; }
  virtual void viewWillMoveToWindow(NSWindow* /*window*/) {}
  virtual void viewDidHide() {}
  virtual void mouseDown(const NSEvent& event);
  virtual void mouseDragged(const NSEvent& event);
  virtual void mouseUp(const NSEvent& event);
  virtual void keyDown(const NSEvent& event);
  virtual void cancelOperation(NSObject* /*sender*/) {}

 private:
  friend class NSWindow;
  void willMoveToWindow(NSWindow* window);
  void sendDidHide();

  NSRect frame_;
  uint64_t frame_sets_ = 0;
  bool hidden_ = false;
  bool wants_layer_ = false;
  NSView* superview_ = nullptr;
  NSWindow* root_window_ = nullptr;  // set on a window's content view only
  std::vector<std::shared_ptr<NSView>> subviews_;
  std::shared_ptr<CAMetalLayer> layer_;
  std::shared_ptr<NSAppearance> appearance_;
};

// Does the control answer to the sender's class (isKindOfClass:)?
template <class T>
bool isKindOfClass(NSObject* sender) {
  return dynamic_cast<T*>(sender) != nullptr;
}

class NSWindow : public NSObject {
 public:
  // initWithContentRect:styleMask:backing:defer: — a window with an empty
  // content view of the rect's size, not on screen.
  static std::shared_ptr<NSWindow> initWithContentRect(NSRect rect);
  ~NSWindow() override;

  const std::shared_ptr<NSView>& contentView() const { return content_; }
  void setContentView(std::shared_ptr<NSView> view);
  // The content size changes; the content view's frame follows.
  void setContentSize(NSSize size);
  NSRect frame() const { return frame_; }

  bool isVisible() const { return visible_; }
  void makeKeyAndOrderFront() { visible_ = true; }
  void orderOut() { visible_ = false; }

  double backingScaleFactor() const { return scale_; }
  // Stand-in only: the screen the window is on.
  void setBackingScaleFactor(double scale) { scale_ = scale; }

  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }

  NSView* firstResponder() const { return first_responder_; }
  // The current responder must resign first; false when it refuses or the
  // view does not accept.
  bool makeFirstResponder(NSView* view);

  // The windowing system's delivery of input. Mouse-down goes to the view
  // under the point, drags and mouse-up to that same view, keys to the first
  // responder (Escape as cancelOperation:).
  enum class EventType { LeftMouseDown, LeftMouseDragged, LeftMouseUp, KeyDown };
  void sendEvent(EventType type, const NSEvent& event);

  // Every window alive, in creation order (stand-in record).
  static std::vector<std::shared_ptr<NSWindow>> windows();

 private:
  NSWindow() = default;
  friend class NSView;
  void forgetView(const NSView* view);

  NSRect frame_;
  std::shared_ptr<NSView> content_;
  bool visible_ = false;
  double scale_ = 1.0;
  std::string title_;
  NSView* first_responder_ = nullptr;
  NSView* mouse_target_ = nullptr;
};

class NSApplication {
 public:
  static bool isActive();
  // Stand-in only: the host application gains or loses focus.
  static void setActive(bool active);
};

}  // namespace platform
