#include "panel/scrub_signals.h"

#include <algorithm>
#include <array>
#include <mutex>

#include "platform/appkit_view.h"

namespace vel {

ScrubSignals& scrub_signals() {
  static ScrubSignals& s = *new ScrubSignals();
  return s;
}

namespace {

// Posted and taken on the main thread: the lock is never waited for.
struct PostQueue {
  std::mutex mutex;
  std::array<PanelPost, kPanelPostCapacity> posts{};
  size_t count = 0;
  bool full = false;  // a post found no room: the rest of the turn is in the words
};

PostQueue& post_queue() {
  static PostQueue& q = *new PostQueue();
  return q;
}

void queue_post(PanelPostKind kind, uint64_t word) {
  PostQueue& q = post_queue();
  std::lock_guard lock(q.mutex);
  if (q.full) return;
  if (q.count > 0 && q.posts[q.count - 1].kind == kind) {
    q.posts[q.count - 1].word = word;
    return;
  }
  if (q.count == q.posts.size()) {
    q.full = true;
    return;
  }
  q.posts[q.count++] = PanelPost{kind, word};
}

std::atomic<uint64_t>& word_of(ScrubSignals& s, PanelPostKind kind) {
  switch (kind) {
    case PanelPostKind::PlayToggle: return s.play_toggles;
    case PanelPostKind::ScrubPosition: return s.scrub_position;
    case PanelPostKind::InMove: return s.workarea_in_move;
    case PanelPostKind::OutMove: return s.workarea_out_move;
    case PanelPostKind::MarkIn: return s.mark_in_requests;
    case PanelPostKind::MarkOut: break;
  }
  return s.mark_out_requests;
}

void post_count(PanelPostKind kind, std::memory_order order) {
  queue_post(kind, word_of(scrub_signals(), kind).fetch_add(1, order) + 1);
}

void post_position_of(PanelPostKind kind, uint64_t thousandths) {
  queue_post(kind, post_position(word_of(scrub_signals(), kind), thousandths));
}

}  // namespace

void post_play_toggle() { post_count(PanelPostKind::PlayToggle, std::memory_order_release); }
void post_scrub_position(uint64_t thousandths) { post_position_of(PanelPostKind::ScrubPosition, thousandths); }
void post_mark_move(PanelPostKind which, uint64_t thousandths) { post_position_of(which, thousandths); }
void post_mark_key(PanelPostKind which) { post_count(which, std::memory_order_acq_rel); }

std::vector<PanelPost> take_panel_posts() {
  PostQueue& q = post_queue();
  std::lock_guard lock(q.mutex);
  std::vector<PanelPost> out(q.posts.begin(), q.posts.begin() + static_cast<std::ptrdiff_t>(q.count));
  q.count = 0;
  q.full = false;
  return out;
}

uint64_t post_position(std::atomic<uint64_t>& word, uint64_t thousandths) {
  const uint64_t old = word.load(std::memory_order_relaxed);
  const uint64_t next = ((old & ~kPositionMask) + kPositionSeqStep) | (std::min<uint64_t>(thousandths, 1000));
  word.store(next, std::memory_order_release);
  return next;
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
