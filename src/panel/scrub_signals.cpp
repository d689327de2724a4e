#include "panel/scrub_signals.h"

#include <algorithm>

#include "platform/appkit_view.h"

namespace vel {

ScrubSignals& scrub_signals() {
  static ScrubSignals& s = *new ScrubSignals();
  return s;
}

void post_position(std::atomic<uint64_t>& word, uint64_t thousandths) {
  const uint64_t old = word.load(std::memory_order_relaxed);
  const uint64_t next = ((old & ~kPositionMask) + kPositionSeqStep) | (std::min<uint64_t>(thousandths, 1000));
  word.store(next, std::memory_order_release);
}

uint64_t take_scrub_token(ScrubSignals& s) {
  const uint64_t t = s.scrub_tokens.fetch_add(1, std::memory_order_acq_rel) + 1;
  return t <= 1 ? 1 : t;
}

void clear_active_scrub(ScrubSignals& s) {
  if (s.active_scrub.exchange(0, std::memory_order_acq_rel) != 0) {
    s.scrub_ends.fetch_add(1, std::memory_order_release);
  }
}

bool scrub_in_progress(bool on_main_thread) {
  ScrubSignals& s = scrub_signals();
  if (s.active_scrub.load(std::memory_order_acquire) == 0) return false;
  const bool button_up = (platform::NSEvent::pressedMouseButtons() & 1) == 0;
  if (button_up || (on_main_thread && !platform::NSApplication::isActive())) clear_active_scrub(s);
  return s.active_scrub.load(std::memory_order_acquire) != 0;
}

void publish_workarea_marks(uint64_t in_thousandths, uint64_t out_thousandths) {
  const uint64_t word = std::min<uint64_t>(in_thousandths, 1000) | (std::min<uint64_t>(out_thousandths, 1000) << 16);
  scrub_signals().workarea_marks.store(word, std::memory_order_release);
}

}  // namespace vel
