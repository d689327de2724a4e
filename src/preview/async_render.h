// The asynchronous in-process path: frames submitted to the host's render
// manager come back on a host thread, are converted there, and wait in a
// process-wide inbox for the next idle tick, which caches those of the
// current generation and drops (and counts) the rest.
//
// The inbox outlives everything (a completion may arrive during shutdown):
// it is a never-destroyed process-wide object.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cache/frame_key.h"
#include "preview/grabbed_frame.h"
#include "preview/pixel_convert.h"

namespace vel {

// What a submission carries to its completion.
struct AsyncTicket {
  uint64_t generation = 0;
  FrameKey key;
  uint32_t downsample = 1;
  uint64_t submit_ns = 0;  // monotonic
};

struct AsyncDelivery {
  AsyncTicket ticket;
  uint64_t request_id = 0;
  bool cancelled = false;
  std::optional<GrabbedFrame> frame;  // none when cancelled or failed
  std::string error;                  // why there is no frame, when not cancelled
};

// The current asynchronous generation (acquire).
uint64_t async_generation();

// Renders submitted and not yet collected by the tick (acquire).
uint64_t async_renders_in_flight();

// Raises the generation (results of older ones will be dropped) and answers
// the new value. The host-side cancellation is the controller's.
uint64_t raise_async_generation();

// Counts a submission the host accepted.
void note_async_submitted();
// Undoes note_async_submitted for a submission the host refused.
void note_async_refused();

// Called on the host's completion thread: converts the pixels (when there
// are any and the ticket is still current: a stale frame is not worth the
// conversion) and posts the delivery, then asks for an early idle call.
// `pixels` is valid only during the call. Never throws.
void deliver_async_result(const AsyncTicket& ticket, uint64_t request_id, bool cancelled, const std::string& error,
                          const HostPixels* pixels);

// Takes every waiting delivery (main thread). Each one taken is no longer
// in flight.
std::vector<AsyncDelivery> take_async_deliveries();

// Tests only: forgets waiting deliveries and zeroes the in-flight count.
void reset_async_inbox_for_tests();

}  // namespace vel
