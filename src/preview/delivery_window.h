// The frames of the playhead's window (the work area from the playhead
// onward, at most the cache's frame limit of it) that the cache lacks at the
// wanted width, in that order, as the delivery queue's last pass over the
// window found them (delivery_queue.h). The window is gone through again
// only when the cache's contents, the window or the wanted width changed: a
// paused panel on a long composition does not look at its frames on every
// tick. Kept in the preview controller, main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "cache/frame_key.h"
#include "host/frame_timing.h"
#include "preview/work_area.h"

namespace vel {

struct DeliveryWindowMemo {
  struct Basis {
    uint64_t cache_generation = 0;
    std::optional<CompFrameTiming> timing;
    WorkAreaFrames bounds;
    int64_t start = 0;
    int64_t considered = 0;
    uint32_t want_width = 0;
    friend bool operator==(const Basis&, const Basis&) = default;
  };
  struct Lacking {
    int64_t frame = 0;
    FrameKey key;
  };
  std::optional<Basis> basis;  // none: go through the window on the next call
  std::vector<Lacking> lacking;
  uint64_t passes = 0;  // passes over the window (saturating)
};

}  // namespace vel
