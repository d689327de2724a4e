// VelocintaScrubView: the transparent view that turns mouse and key input
// over the panel into ScrubSignals posts. Kind 0 lies over the picture
// (drag across it to move in time, past a 4-point dead zone), kind 1 over the
// cache strip (click or drag to a position; grab the work area's IN or OUT
// mark within 8 points and move it). Keys b/i and n/o ask for IN and OUT at
// the current time; Escape ends a scrub. The view never acts on the preview
// itself: the idle hook reads what it posted. Main thread only.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/appkit_view.h"

namespace vel {

enum class ScrubKind : uint8_t { Picture = 0, Strip = 1 };
enum class DragState : uint8_t { Scrub = 0, OutMark = 1, InMark = 2 };

inline constexpr double kScrubDeadZonePoints = 4.0;
inline constexpr double kMarkGrabPoints = 8.0;

// The position under x as a fraction of the width, clamped to 0..1 (0 for
// a width that is not positive). With Shift the motion is ten times finer
// around the mouse-down point `anchor_x`.
double scrub_fraction(double x, double width, double anchor_x, bool shift);

// round(clamp(x / width) × 1000), half away from zero; 0 for a width that
// is not positive.
uint64_t rounded_thousandths(double x, double width);

// Which mark a strip click at fraction f grabs: the OUT mark within 8 points
// when it is no farther than IN, else IN within 8 points, else none (a scrub).
DragState strip_grab(double f, double width, uint64_t marks_word);

// Key text to a request: 'i' for IN (b, i), 'o' for OUT (n, o), 0 for a key
// the superclass should have (case folded on ASCII letters only).
char mark_key_of(const char* text, size_t length);

class VelocintaScrubView : public platform::NSView {
 public:
  static std::shared_ptr<VelocintaScrubView> create(ScrubKind kind);
  explicit VelocintaScrubView(ScrubKind kind) : kind_(kind) {}
  ~VelocintaScrubView() override;

  // Ends a scrub this view holds (the one shared step of every ending).
  void end_scrub();

  ScrubKind kind() const { return kind_; }
  uint64_t scrub_token() const { return scrub_token_; }
  bool armed() const { return armed_; }
  DragState drag_state() const { return drag_state_; }

  bool acceptsFirstResponder() const override { return true; }
  bool acceptsFirstMouse(const platform::NSEvent*) const override { return true; }
  bool resignFirstResponder() override;
  void viewWillMoveToWindow(platform::NSWindow* window) override;
  void viewDidHide() override;
  void cancelOperation(platform::NSObject* sender) override;
  void keyDown(const platform::NSEvent& event) override;
  void mouseDown(const platform::NSEvent& event) override;
  void mouseDragged(const platform::NSEvent& event) override;
  void mouseUp(const platform::NSEvent& event) override;

 private:
  double local_x(const platform::NSEvent& event) const;
  double event_fraction(const platform::NSEvent& event) const;
  void start_scrub();

  uint64_t scrub_token_ = 0;
  double anchor_x_ = 0.0;
  bool armed_ = false;
  DragState drag_state_ = DragState::Scrub;
  ScrubKind kind_;
};

}  // namespace vel
