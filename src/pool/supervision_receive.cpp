#include "pool/supervision_receive.h"

#include "core/saturating.h"

namespace vel {

void ReceiveWindow::took(const PoolFrameDelivery& message) {
  if (record_.marker > 0) --record_.marker;
  if (message.pixels) record_.bytes = sat_add(record_.bytes, message.pixels->pixels.size());
}

std::optional<PoolFrameDelivery> next_delivery(std::optional<PoolFrameDelivery>& stash, FrameReceiver& frames,
                                               ReceiveEnd& end) {
  std::optional<PoolFrameDelivery> message;
  if (stash) {
    message.emplace(std::move(*stash));
    stash.reset();
    return message;
  }
  const TryRecv got = frames.try_recv(message);
  if (got == TryRecv::Empty) end = ReceiveEnd::Empty;
  if (got == TryRecv::Disconnected) end = ReceiveEnd::Disconnected;
  return message;
}

bool memory_frames_drained(std::optional<PoolFrameDelivery>& stash, FrameReceiver& frames, bool returned_any,
                           ReceiveEnd receive_end) {
  if (stash || returned_any || receive_end == ReceiveEnd::Limit) return false;
  // The stash is empty here: a late message goes straight into it.
  return frames.try_recv(stash) != TryRecv::Value;
}

}  // namespace vel
