#include "pool/batch/supervision_receive.h"

namespace vel {

bool next_delivery(std::optional<PoolFrameDelivery>& stash, FrameReceiver& frames,
                   std::optional<PoolFrameDelivery>& slot, ReceiveEnd& end) {
  if (stash) {
    slot.emplace(std::move(*stash));
    stash.reset();
    return true;
  }
  switch (frames.try_recv(slot)) {
    case TryRecv::Value:
      return true;
    case TryRecv::Empty:
      end = ReceiveEnd::Empty;
      return false;
    case TryRecv::Disconnected:
      end = ReceiveEnd::Disconnected;
      return false;
  }
  return false;
}

bool memory_frames_drained(std::optional<PoolFrameDelivery>& stash, FrameReceiver& frames, bool returned_any,
                           ReceiveEnd receive_end) {
  if (stash || returned_any || receive_end == ReceiveEnd::Limit) return false;
  // The stash is empty here: a late message goes straight into it.
  return frames.try_recv(stash) != TryRecv::Value;
}

}  // namespace vel
