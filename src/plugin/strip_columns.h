// The cache strip's lit columns as the idle tick keeps them: a count of the
// cached frames over each column, worked out from the cache's keys (at most
// its frame limit) when the composition's frames or the strip's width
// changed, and otherwise kept up from the keys the cache noted as they came
// and went (key_changes.h): a frame cached or put out costs a count over its
// columns, whatever the number of frames cached, and a paused panel goes through no
// frame at all. Main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "cache/frame_cache.h"
#include "host/frame_timing.h"
#include "preview/preview_controller.h"

namespace vel {

struct StripColumnsMemo {
  struct Basis {
    int64_t frame_count = 0;
    std::optional<CompFrameTiming> timing;
    uint32_t width = 0;
    friend bool operator==(const Basis&, const Basis&) = default;
  };
  std::optional<Basis> basis;  // none: work them out on the next call
  KeyCursor cache_seen;        // the cache's changes taken into account
  std::vector<uint32_t> counts;  // cached frames over each column
  std::vector<uint8_t> lit;      // a count above 0
  uint64_t passes = 0;        // times the cache's keys were all gone through (saturating)
  uint64_t keys_visited = 0;  // cached keys looked at, in passes or one by one (saturating)
};

// The columns of a strip `width` pixels wide lit by the cached frames of
// the pinned composition (strip_columns in panel/cache_strip.h).
const std::vector<uint8_t>& cached_strip_columns(StripColumnsMemo& memo, const PreviewController& ctl,
                                                 const FrameCache& cache, uint32_t width);

}  // namespace vel
