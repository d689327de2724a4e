// Taking the frames that decoders and memory-output readers finished, on the
// main thread, within a short window per idle call: at most 8 messages, less
// than 32 MiB of pixels, and once a frame is on its way to the cache, no
// more than 2 ms. The rest waits in the channel (or in the batch's one-message
// stash) for the next call, so a fast batch never stretches a tick.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "pool/pool_frame_delivery.h"
#include "pool/process_control.h"

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
// clock applies once a frame was returned.
class ReceiveWindow {
 public:
  explicit ReceiveWindow(uint64_t started_ns) : started_ns_(started_ns) {}
  // The clock is read only once the 2 ms apply, that is after a frame went
  // to the caller: before that, the count and the bytes decide.
  template <typename Clock>
  bool open(const Clock& clock) const {
    return short_window_open(record_, record_.started_ns ? clock() : 0);
  }
  // One message taken, with its pixel bytes.
  void took(const PoolFrameDelivery& message);
  // A frame of this call went to the caller.
  void returned() { record_.started_ns = started_ns_; }
  uint32_t messages_taken() const { return kReceiveMessagesPerCall - record_.marker; }

 private:
  ShortWindowRecord record_{kReceiveMessagesPerCall, 0, std::nullopt};
  uint64_t started_ns_;
};

// The next message of the batch: the stash first, else one non-blocking
// receive; `end` tells why there was none.
std::optional<PoolFrameDelivery> next_delivery(std::optional<PoolFrameDelivery>& stash, FrameReceiver& frames,
                                               ReceiveEnd& end);

// Answers whether the message gave the caller a frame.
using DeliveryHandler = std::function<bool(PoolFrameDelivery&&)>;

// Takes messages while the window is open (the clock is read before each),
// handing each to `handle`. Answers why it stopped.
ReceiveEnd receive_deliveries(std::optional<PoolFrameDelivery>& stash, FrameReceiver& frames,
                              const std::function<uint64_t()>& clock, const DeliveryHandler& handle);

// Whether a memory batch's frames have all come through for the exit check:
// the stash is empty, no frame was returned in this call, the receive step
// stopped on an empty channel rather than a limit, and one more receive
// finds nothing. A message found by that receive is kept in `stash`.
bool memory_frames_drained(std::optional<PoolFrameDelivery>& stash, FrameReceiver& frames, bool returned_any,
                           ReceiveEnd receive_end);

}  // namespace vel
