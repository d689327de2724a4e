#include "panel/present/presenter_mailbox.h"

namespace vel {
namespace {

bool same_frame(const RgbaFrame& a, const RgbaFrame& b) {
  return same_payload(a.pixels, b.pixels) && a.time == b.time && a.width == b.width && a.height == b.height;
}

bool same_sized(const std::optional<SizedFrame>& a, const RgbaFrame& frame, uint32_t tw, uint32_t th) {
  return a && same_frame(a->frame, frame) && a->target_width == tw && a->target_height == th;
}

// Nothing new: the frame is on its way at that size, or its picture is up at
// that size for this request and nothing else is on its way to replace it.
bool already_presented(const PresenterSubmission& s, const RgbaFrame& frame, uint32_t tw, uint32_t th) {
  if (s.on_its_way) return same_sized(s.on_its_way, frame, tw, th);
  return same_sized(s.on_screen, frame, tw, th) && s.on_screen_seq == read_present_request().seq;
}

// Keeps `buffer` as the output buffer, freeing the current one.
void recycle_locked(PresenterMailbox& m, std::vector<uint8_t> buffer) { m.output = std::move(buffer); }

}  // namespace

void PresenterMailbox::recount_locked() {
  uint64_t bytes = output.capacity();
  if (retained) bytes = saturating_sum(bytes, retained->pixels.capacity());
  counted.recount(bytes);
}

bool submit_to_presenter(PresenterMailbox& mailbox, PresenterSubmission& submission, const RgbaFrame& frame,
                         uint32_t target_width, uint32_t target_height) {
  if (already_presented(submission, frame, target_width, target_height)) return false;
  if (frame.width == 0 || frame.height == 0) return false;
  const unsigned __int128 need = static_cast<unsigned __int128>(frame.width) * frame.height * 4;
  if (need != frame.pixels.size()) return false;
  {
    std::lock_guard lock(mailbox.mutex);
    const std::optional<SizedFrame>& way = submission.on_its_way;
    if (way && (way->target_width != target_width || way->target_height != target_height)) {
      ++mailbox.generation;
      mailbox.job.reset();
      if (mailbox.retained) recycle_locked(mailbox, std::move(mailbox.retained->pixels));
      mailbox.retained.reset();
    }
    mailbox.retry_at_ms.reset();
    mailbox.failures = 0;
    mailbox.job = PresenterJob{read_present_request(), frame, mailbox.generation, target_width, target_height};
    mailbox.recount_locked();
  }
  submission.on_its_way = SizedFrame{frame, target_width, target_height};
  mailbox.wake.notify_one();
  return true;
}

void clear_presenter_mailbox(PresenterMailbox& mailbox, PresenterSubmission& submission) {
  submission.on_its_way.reset();
  std::lock_guard lock(mailbox.mutex);
  ++mailbox.generation;
  mailbox.job.reset();
  mailbox.retry_at_ms.reset();
  mailbox.failures = 0;
  if (mailbox.retained) recycle_locked(mailbox, std::move(mailbox.retained->pixels));
  mailbox.retained.reset();
  mailbox.recount_locked();
}

void note_picture(PresenterSubmission& submission, const PresenterJob& job, bool shown) {
  if (same_sized(submission.on_its_way, job.frame, job.target_width, job.target_height)) submission.on_its_way.reset();
  if (!shown) return;
  // The same frame again (after a resize, a retry) was handed over for the
  // request it first showed for: shown again for a later one, it must not
  // refuse that request's own hand-over, whose presentation the clock and
  // the playhead wait for.
  if (!submission.on_screen || !same_frame(submission.on_screen->frame, job.frame)) {
    submission.on_screen_seq = job.request.seq;
  }
  submission.on_screen = SizedFrame{job.frame, job.target_width, job.target_height};
}

bool store_prepared_result(PresenterMailbox& mailbox, PreparedFrame result) {
  if (mailbox.stop || result.job.generation != mailbox.generation) {
    recycle_locked(mailbox, std::move(result.pixels));
    mailbox.recount_locked();
    return false;
  }
  mailbox.retry_at_ms.reset();
  mailbox.failures = 0;
  std::optional<PreparedFrame> previous = std::move(mailbox.retained);
  mailbox.retained = std::move(result);
  if (previous) recycle_locked(mailbox, std::move(previous->pixels));
  mailbox.recount_locked();
  return true;
}

std::optional<PreparedFrame> take_prepared_frame(PresenterMailbox& mailbox) {
  std::lock_guard lock(mailbox.mutex);
  std::optional<PreparedFrame> out = std::move(mailbox.retained);
  mailbox.retained.reset();
  mailbox.recount_locked();
  return out;
}

void return_output_buffer(PresenterMailbox& mailbox, std::vector<uint8_t> buffer) {
  std::lock_guard lock(mailbox.mutex);
  if (mailbox.output.capacity() < buffer.capacity()) mailbox.output = std::move(buffer);
  mailbox.recount_locked();
}

}  // namespace vel
