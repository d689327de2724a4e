// The frames of the playhead's window (the work area from the playhead
// onward, at most the cache's frame limit of it) that the cache lacks at the
// wanted width, as the delivery queue keeps them (delivery_queue.h). The
// window is gone through whole only when the timing, the work area, the
// frame limit or the wanted width changed, or when the playhead jumped; a
// playhead moving on follows the frames that came into the window and went
// out of it, and a change of the cache, or of the keys awaited from the disk
// store, the keys it noted (key_changes.h). A
// paused panel looks at no frame, a playing one at a frame or two a tick.
// Kept in the preview controller, main thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include "cache/frame_key.h"
#include "cache/key_changes.h"
#include "host/frame_timing.h"
#include "preview/work_area.h"

namespace vel {

struct DeliveryWindowMemo {
  // What a pass over the window stands on; another one starts over.
  struct Basis {
    std::optional<CompFrameTiming> timing;
    WorkAreaFrames bounds;
    int64_t considered = 0;
    uint32_t want_width = 0;
    friend bool operator==(const Basis&, const Basis&) = default;
  };
  std::optional<Basis> basis;  // none: go through the window on the next call
  int64_t start = 0;           // the window's first frame
  KeyCursor cache_seen;        // the cache's changes taken into account
  KeyCursor awaited_seen;      // the store's awaited keys' changes taken into account
  struct Lacking {
    int64_t frame = 0;
    FrameKey key;
  };
  // Frames of the window the cache lacks with their keys, less those the
  // disk store is asked for, in the window's order: a fill takes them from the front, a playhead moving on adds and
  // takes them at the ends, none of which moves the thousands between.
  std::deque<Lacking> lacking;
  uint64_t passes = 0;         // passes over the whole window (saturating)
  uint64_t frames_looked_at = 0;  // frames whose cached width was looked up (saturating)
  uint64_t frames_weighed = 0;    // lacking frames weighed against what is pending elsewhere (saturating)
};

}  // namespace vel
