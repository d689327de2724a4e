// The presenter mailbox between a panel (main thread) and its CPU present
// worker "velocinta-pixels": one slot that only ever holds the newest frame
// to prepare, the last prepared frame, and a reusable output buffer. Every
// clear raises the generation, so a result prepared for an older job is
// dropped when it comes back and its buffer reused; the worker is never
// interrupted.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "cache/rgba_frame.h"
#include "panel/present/present_bytes.h"
#include "panel/present/present_request.h"

namespace vel {

struct PresenterJob {
  PresentRequest request;  // current at submission
  RgbaFrame frame;
  uint64_t generation = 0;
  uint32_t target_width = 0;
  uint32_t target_height = 0;
};

// Opaque pixels prepared for a job: width × height × 4 bytes.
struct PreparedFrame {
  PresenterJob job;
  std::vector<uint8_t> pixels;
  uint32_t width = 0;
  uint32_t height = 0;
};

struct PresenterMailbox {
  std::mutex mutex;
  std::condition_variable wake;
  std::optional<PresenterJob> job;
  std::optional<PreparedFrame> retained;
  std::vector<uint8_t> output;        // the next preparation writes here
  std::optional<double> retry_at_ms;  // monotonic_ms before which a failure is not retried
  uint64_t generation = 0;
  uint32_t failures = 0;              // consecutive, saturating
  bool stop = false;
  PresentByteCount counted;           // retained pixels and idle output buffer

  // Recounts the retained pixels and the output buffer (lock held).
  void recount_locked();
};

// A frame for a view of target_width × target_height pixels.
struct SizedFrame {
  RgbaFrame frame;
  uint32_t target_width = 0;
  uint32_t target_height = 0;
};

// What the panel knows of its presenter: what is, not what was once handed
// over. A frame handed over is on its way until its picture is shown, fails
// to show, or a clear drops it; the frame on screen stays until another
// picture replaces it, with the request it was first shown for.
struct PresenterSubmission {
  std::optional<SizedFrame> on_its_way;
  std::optional<SizedFrame> on_screen;
  uint64_t on_screen_seq = 0;
};

// Posts `frame` for a tw × th view, replacing any job still waiting. Nothing
// is posted for a frame already on its way at that size, for the frame on
// screen at that size and for the current request while nothing else is on
// its way, nor for a frame whose pixels are not width × height × 4 bytes. A
// change of view size while a frame is on its way clears the mailbox first.
// Answers whether a job was posted.
bool submit_to_presenter(PresenterMailbox& mailbox, PresenterSubmission& submission, const RgbaFrame& frame,
                         uint32_t target_width, uint32_t target_height);

// Drops the frame on its way: raises the generation, drops the waiting job
// and the retained frame (its pixels become the output buffer). The frame on
// screen stays what it is.
void clear_presenter_mailbox(PresenterMailbox& mailbox, PresenterSubmission& submission);

// The panel put the picture of `job` up (`shown`) or failed to: either way
// the job's frame is no longer on its way, and a shown one is on screen.
void note_picture(PresenterSubmission& submission, const PresenterJob& job, bool shown);

// The worker's store (lock held): a result of the current generation while
// not stopping becomes the retained frame (true); otherwise it is stale and
// only its buffer is kept for reuse (false).
bool store_prepared_result(PresenterMailbox& mailbox, PreparedFrame result);

// The panel's collection: takes the retained frame, if any.
std::optional<PreparedFrame> take_prepared_frame(PresenterMailbox& mailbox);

// Gives a shown frame's buffer back for the next preparation.
void return_output_buffer(PresenterMailbox& mailbox, std::vector<uint8_t> buffer);

}  // namespace vel
