#include "preview/pool_link.h"

#include <algorithm>

namespace vel {

bool frame_in_ranges(const std::vector<PoolFrameRange>& ranges, int64_t frame) {
  return std::any_of(ranges.begin(), ranges.end(),
                     [frame](const PoolFrameRange& r) { return frame >= r.first && frame <= r.second; });
}

}  // namespace vel
