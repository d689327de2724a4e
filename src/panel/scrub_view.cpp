#include "panel/scrub_view.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "panel/scrub_signals.h"

namespace vel {

double scrub_fraction(double x, double width, double anchor_x, bool shift) {
  const double f = width > 0.0 ? std::clamp(x / width, 0.0, 1.0) : 0.0;
  if (!shift) return f;
  const double a = std::clamp(anchor_x / std::max(width, 1.0), 0.0, 1.0);
  return std::clamp(a + (f - a) / 10.0, 0.0, 1.0);
}

uint64_t rounded_thousandths(double x, double width) {
  if (!(width > 0.0)) return 0;
  return static_cast<uint64_t>(std::round(std::clamp(x / width, 0.0, 1.0) * 1000.0));
}

DragState strip_grab(double f, double width, uint64_t marks_word) {
  if (!(width > 0.0)) return DragState::Scrub;
  const double in = static_cast<double>(marks_word & 0xFFFF) / 1000.0;
  const double out = static_cast<double>((marks_word >> 16) & 0xFFFF) / 1000.0;
  const double d_out = width * std::fabs(f - out);
  const double d_in = width * std::fabs(f - in);
  if (d_out <= kMarkGrabPoints && d_out <= d_in) return DragState::OutMark;
  if (d_in <= kMarkGrabPoints) return DragState::InMark;
  return DragState::Scrub;
}

char mark_key_of(const char* text, size_t length) {
  if (text == nullptr || length != 1) return 0;
  char c = text[0];
  if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (c == 'b' || c == 'i') return 'i';
  if (c == 'n' || c == 'o') return 'o';
  return 0;
}

std::shared_ptr<VelocintaScrubView> VelocintaScrubView::create(ScrubKind kind) {
  return std::make_shared<VelocintaScrubView>(kind);
}

VelocintaScrubView::~VelocintaScrubView() { end_scrub(); }

void VelocintaScrubView::end_scrub() {
  ScrubSignals& s = scrub_signals();
  const uint64_t token = std::exchange(scrub_token_, 0);
  if (token != 0) {
    uint64_t expected = token;
    if (s.active_scrub.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
      s.scrub_ends.fetch_add(1, std::memory_order_release);
    }
  }
  drag_state_ = DragState::Scrub;
  armed_ = false;
}

bool VelocintaScrubView::resignFirstResponder() {
  const bool ok = NSView::resignFirstResponder();
  if (ok) end_scrub();
  return ok;
}

void VelocintaScrubView::viewWillMoveToWindow(platform::NSWindow* window) {
  end_scrub();
  NSView::viewWillMoveToWindow(window);
}

void VelocintaScrubView::viewDidHide() { end_scrub(); }

void VelocintaScrubView::cancelOperation(platform::NSObject*) { end_scrub(); }

void VelocintaScrubView::keyDown(const platform::NSEvent& event) {
  if (event.charactersIgnoringModifiers) {
    const std::string& t = *event.charactersIgnoringModifiers;
    const char key = mark_key_of(t.data(), t.size());
    if (key == 'i' || key == 'o') {
      post_mark_key(key == 'i' ? PanelPostKind::MarkIn : PanelPostKind::MarkOut);
      return;
    }
  }
  NSView::keyDown(event);
}

double VelocintaScrubView::local_x(const platform::NSEvent& event) const {
  return convertPointFromWindow(event.locationInWindow).x;
}

double VelocintaScrubView::event_fraction(const platform::NSEvent& event) const {
  return scrub_fraction(local_x(event), bounds().width, anchor_x_,
                        (event.modifierFlags & platform::NSEventModifierFlagShift) != 0);
}

void VelocintaScrubView::start_scrub() {
  end_scrub();
  ScrubSignals& s = scrub_signals();
  const uint64_t t = take_scrub_token(s);
  s.active_scrub.store(t, std::memory_order_release);
  scrub_token_ = t;
}

void VelocintaScrubView::mouseDown(const platform::NSEvent& event) {
  ScrubSignals& s = scrub_signals();
  clear_active_scrub(s);
  end_scrub();
  if (platform::NSWindow* w = window()) w->makeFirstResponder(this);
  const double x = local_x(event);
  const double width = bounds().width;
  armed_ = false;
  anchor_x_ = x;
  drag_state_ = DragState::Scrub;
  if (kind_ == ScrubKind::Picture) {
    start_scrub();
    return;
  }
  const double f = width > 0.0 ? std::clamp(x / width, 0.0, 1.0) : 0.0;
  drag_state_ = strip_grab(f, width, s.workarea_marks.load(std::memory_order_acquire));
  if (drag_state_ != DragState::Scrub) return;
  start_scrub();
  post_scrub_position(rounded_thousandths(x, width));
}

void VelocintaScrubView::mouseDragged(const platform::NSEvent& event) {
  ScrubSignals& s = scrub_signals();
  if (drag_state_ != DragState::Scrub) {
    armed_ = true;
    const double p = std::clamp(event_fraction(event), 0.0, 1.0);
    post_mark_move(drag_state_ == DragState::OutMark ? PanelPostKind::OutMove : PanelPostKind::InMove,
                  static_cast<uint64_t>(std::trunc(p * 1000.0)));
    return;
  }
  if (scrub_token_ == 0 || scrub_token_ != s.active_scrub.load(std::memory_order_acquire)) return;
  const double x = local_x(event);
  if (kind_ == ScrubKind::Picture && !armed_ && std::fabs(x - anchor_x_) < kScrubDeadZonePoints) return;
  armed_ = true;
  post_scrub_position(rounded_thousandths(x, bounds().width));
}

void VelocintaScrubView::mouseUp(const platform::NSEvent& event) {
  ScrubSignals& s = scrub_signals();
  if (drag_state_ != DragState::Scrub) {
    if (armed_) {
      const double p = std::clamp(event_fraction(event), 0.0, 1.0);
      post_mark_move(drag_state_ == DragState::OutMark ? PanelPostKind::OutMove : PanelPostKind::InMove,
                    static_cast<uint64_t>(std::trunc(p * 1000.0)));
    }
    drag_state_ = DragState::Scrub;
    armed_ = false;
    return;
  }
  const uint64_t token = std::exchange(scrub_token_, 0);
  if (token == 0) {
    armed_ = false;
    return;
  }
  uint64_t expected = token;
  if (!s.active_scrub.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
    armed_ = false;
    return;
  }
  if (kind_ == ScrubKind::Strip || armed_) post_scrub_position(rounded_thousandths(local_x(event), bounds().width));
  armed_ = false;
  s.scrub_ends.fetch_add(1, std::memory_order_release);
}

}  // namespace vel
