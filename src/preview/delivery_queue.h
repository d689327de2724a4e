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
#include <deque>
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

// What the pool says of the frames this tick: `pool_claims`, the ranges it
// still claims against the render manager, counts only when `claims_asked`.
struct PoolView {
  bool claims_asked = false;
  std::vector<PoolFrameRange> claims;
};

// Filling, the window lacks thousands of frames at every tick while a tick
// hands out a few: the queue counts its entries from the sets of what is
// pending elsewhere (a few keys, a few ranges) and builds an entry only when
// it is read, in order. What it holds is fixed when it is built: reading an
// entry after the tick changed the cache or the pending sets gives what a
// fresh pass at its building gave. It reads the window's memo it was built
// from, which must outlive it and see no other pass meanwhile.
class DeliveryQueue {
 public:
  std::optional<FrameKey> playhead_key;
  // Frames were missing that no running batch held.
  bool frames_unclaimed = false;
  // No frame was missing, whoever is producing the missing ones (a batch's
  // included): the work area may be said cached once nothing is pending.
  bool none_missing = true;

  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // Entry `i` (below `size()`), built with those before it on first reading.
  const QueuedFrame& operator[](size_t i) const;
  // Every entry, in order.
  std::vector<QueuedFrame> all() const;
  // Entries built so far.
  size_t built() const { return built_.size(); }

 private:
  friend DeliveryQueue build_delivery_queue(const PreviewController&, const FrameCache&, uint32_t,
                                            const PreviewTickInputs&, const PoolView&, DeliveryWindowMemo&);
  friend DeliveryQueue build_delivery_queue(const PreviewController&, const FrameCache&, uint32_t,
                                            const PreviewTickInputs&, const PoolView&);
  // Entries of the lacking list at [begin, end), all given up or none.
  struct Run {
    size_t begin = 0;
    size_t end = 0;
    bool given_up = false;
  };
  const std::deque<DeliveryWindowMemo::Lacking>& lacking() const { return source_ ? *source_ : owned_; }
  void build_next() const;

  size_t count_ = 0;
  const std::deque<DeliveryWindowMemo::Lacking>* source_ = nullptr;  // the memo's list, else `owned_`
  std::deque<DeliveryWindowMemo::Lacking> owned_;
  std::vector<Run> runs_;       // in queue order
  std::vector<size_t> skipped_;  // indexes in the lacking list pending elsewhere, sorted
  uint64_t* weighed_ = nullptr;  // the memo's count of frames weighed
  mutable std::vector<QueuedFrame> built_;
  mutable size_t run_ = 0;  // where the next entry is looked for
  mutable size_t at_ = 0;
};

// The tick's queue over the frames narrower than `want_width` in the cache.
// What is pending elsewhere (asked of the host, held by the pool, refused)
// is weighed on every call, through its own keys and ranges; the window's
// frames the cache lacks, less those awaited from the disk store (thousands
// at an opening), come from `memo`, which follows both as they change.
DeliveryQueue build_delivery_queue(const PreviewController& ctl, const FrameCache& cache, uint32_t want_width,
                                   const PreviewTickInputs& in, const PoolView& pool, DeliveryWindowMemo& memo);
// The same from a fresh pass over the window, the queue holding its list.
DeliveryQueue build_delivery_queue(const PreviewController& ctl, const FrameCache& cache, uint32_t want_width,
                                   const PreviewTickInputs& in, const PoolView& pool);

// `base` with what the queue says from its entry `next` on: how many frames
// are left, whether the playhead's frame comes now, and whether the pool
// gave it up.
DeliveryInputs delivery_inputs_at(const DeliveryQueue& q, size_t next, DeliveryInputs base);

}  // namespace vel
