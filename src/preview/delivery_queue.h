// Which missing frames the in-process producers may take this tick, and in
// what order: the frame under the playhead first, then the work area's from
// the playhead onward in loop order. What another producer is making stays with it, with
// one exception: the playhead's frame waits only for a producer that is
// about to hand it over (the host's render manager rendering it now, a pool
// worker whose next frame it is, or the disk store whose very next answer
// it is), never for the rest a pool batch holds nor for a store answer
// queued behind others. Pure apart from reading the cache.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "cache/frame_cache.h"
#include "cache/frame_key.h"
#include "preview/delivery.h"
#include "preview/delivery_window.h"
#include "preview/pool_link.h"
#include "preview/preview_controller.h"

namespace vel {

struct QueuedFrame {
  int64_t frame = 0;
  FrameKey key;
  bool given_up = false;  // its pool batch gave it up: ours to render
  friend bool operator==(const QueuedFrame&, const QueuedFrame&) = default;
};

struct DeliveryQueue {
  std::vector<QueuedFrame> frames;
  std::optional<FrameKey> playhead_key;
  // Frames were missing that no running batch held.
  bool frames_unclaimed = false;
  // No frame was missing, whoever is producing the missing ones (a batch's
  // included): the work area may be said cached once nothing is pending.
  bool none_missing = true;
};

// What the pool says of the frames this tick: `pool_claims`, the ranges it
// still claims against the render manager, counts only when `claims_asked`.
struct PoolView {
  bool claims_asked = false;
  std::vector<PoolFrameRange> claims;
};

// The tick's queue over the frames narrower than `want_width` in the cache.
// What is pending elsewhere (asked of the host or the store, held by the
// pool, refused) is weighed on every call; the window's frames the cache
// lacks come from `memo`.
DeliveryQueue build_delivery_queue(const PreviewController& ctl, const FrameCache& cache, uint32_t want_width,
                                   const PreviewTickInputs& in, const PoolView& pool, DeliveryWindowMemo& memo);
// The same from a fresh pass over the window.
DeliveryQueue build_delivery_queue(const PreviewController& ctl, const FrameCache& cache, uint32_t want_width,
                                   const PreviewTickInputs& in, const PoolView& pool);

// `base` with what the queue says from its entry `next` on: how many frames
// are left, whether the playhead's frame comes now, and whether the pool
// gave it up.
DeliveryInputs delivery_inputs_at(const DeliveryQueue& q, size_t next, DeliveryInputs base);

}  // namespace vel
