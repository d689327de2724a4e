// The cache strip's lit columns as the idle tick keeps them: worked out from
// the cache's keys (at most its frame limit) and the strip's width, and
// again only when the cache's contents, the composition's frames or the
// width changed. A paused panel goes through no frame at all, whatever the
// composition's length. Main thread only.
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
    uint64_t cache_generation = 0;
    int64_t frame_count = 0;
    std::optional<CompFrameTiming> timing;
    uint32_t width = 0;
    friend bool operator==(const Basis&, const Basis&) = default;
  };
  std::optional<Basis> basis;  // none: work them out on the next call
  std::vector<uint8_t> lit;
  uint64_t passes = 0;  // times the cache's keys were gone through (saturating)
};

// The columns of a strip `width` pixels wide lit by the cached frames of
// the pinned composition (strip_columns in panel/cache_strip.h). `redo`
// works them out again whatever the basis says.
const std::vector<uint8_t>& cached_strip_columns(StripColumnsMemo& memo, const PreviewController& ctl,
                                                 const FrameCache& cache, uint32_t width, bool redo);

}  // namespace vel
