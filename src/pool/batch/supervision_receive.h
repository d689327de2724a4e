// Taking the frames that decoders and memory-output readers finished, on the
// main thread, within a short window per idle call: at most 8 messages, less
// than 32 MiB of pixels, and once a frame is on its way to the cache, no
// more than 2 ms. The rest waits in the channel (or in the batch's one-message
// stash) for the next call, so a fast batch never stretches a tick.
#pragma once

#include <cstdint>
#include <optional>

#include "core/saturating.h"
#include "pool/batch/pool_frame_delivery.h"
#include "pool/process/process_control.h"

namespace vel {

inline constexpr uint32_t kReceiveMessagesPerCall = 8;
inline constexpr uint64_t kReceivePixelBytesPerCall = uint64_t{1} << 25;

// Why the receiving stopped.
enum class ReceiveEnd : uint8_t {
  Limit,         // a limit of the window: more may be waiting
  Empty,         // nothing was ready
  Disconnected,  // nothing was ready and no sender is left
};

// The receive step's limits, kept as the short-window record the process
// control answers on: the marker counts the messages still allowed, the
// clock applies once a frame was returned. The window runs from the call's
// own instant, read at its start.
class ReceiveWindow {
 public:
  explicit ReceiveWindow(uint64_t started_ns) : started_ns_(started_ns) {}
  // Whether the count and the bytes let one more message in.
  bool room() const {
    return short_window_open(ShortWindowRecord{record_.marker, record_.bytes, std::nullopt}, 0);
  }
  // Whether the 2 ms still run. The clock is read only once they apply,
  // that is after a frame went to the caller.
  template <typename Clock>
  bool in_time(const Clock& clock) {
    if (!record_.started_ns) return true;
    last_read_ns_ = clock();
    return short_window_open(record_, *last_read_ns_);
  }
  // One message taken, with its pixel bytes.
  void took(const PoolFrameDelivery& message) {
    if (record_.marker > 0) --record_.marker;
    if (message.pixels) record_.bytes = sat_add(record_.bytes, message.pixels->pixels.size());
  }
  // A frame of this call went to the caller.
  void returned() { record_.started_ns = started_ns_; }
  uint32_t messages_taken() const { return kReceiveMessagesPerCall - record_.marker; }
  // The window's latest look at the clock, if it took one: the caller's
  // instant after the receiving, without another read.
  std::optional<uint64_t> last_read_ns() const { return last_read_ns_; }

 private:
  ShortWindowRecord record_{kReceiveMessagesPerCall, 0, std::nullopt};
  uint64_t started_ns_;
  std::optional<uint64_t> last_read_ns_;
};

// The next message of the batch into the empty `slot`: the stash first,
// else one non-blocking receive. Answers false, with `end` telling why,
// when there was none.
bool next_delivery(std::optional<PoolFrameDelivery>& stash, FrameReceiver& frames,
                   std::optional<PoolFrameDelivery>& slot, ReceiveEnd& end);

// Takes messages while `window` is open, handing each to `handle`, which
// answers whether the message gave the caller a frame. Answers why it
// stopped. The count and the bytes are looked at before each message; the
// 2 ms once there is a message to take, so that finding the channel empty
// costs no look at the clock. A message that comes too late waits in the
// stash, first for the next call. A template, so that the main thread's
// per-message work goes through no indirect call; one slot serves the
// call's messages in turn.
template <typename Clock, typename Handler>
ReceiveEnd receive_deliveries(ReceiveWindow& window, std::optional<PoolFrameDelivery>& stash, FrameReceiver& frames,
                              const Clock& clock, Handler&& handle) {
  std::optional<PoolFrameDelivery> slot;
  while (window.room()) {
    ReceiveEnd end = ReceiveEnd::Empty;
    if (!next_delivery(stash, frames, slot, end)) return end;
    if (!window.in_time(clock)) {
      stash.emplace(std::move(*slot));  // the stash was empty or just gave it
      return ReceiveEnd::Limit;
    }
    window.took(*slot);
    const bool returned = handle(std::move(*slot));
    slot.reset();
    if (returned) window.returned();
  }
  return ReceiveEnd::Limit;
}

// Whether a memory batch's frames have all come through for the exit check:
// the stash is empty, no frame was returned in this call, the receive step
// stopped on an empty channel rather than a limit, and one more receive
// finds nothing. A message found by that receive is kept in `stash`.
bool memory_frames_drained(std::optional<PoolFrameDelivery>& stash, FrameReceiver& frames, bool returned_any,
                           ReceiveEnd receive_end);

}  // namespace vel
