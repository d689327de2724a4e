// A contiguous run of frame indexes, both ends inclusive: the unit in which
// the pool plans, queues and hands out work to its `aerender` workers.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

namespace vel {

struct FrameRange {
  int64_t start = 0;
  int64_t end = 0;  // inclusive
  bool operator==(const FrameRange&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const FrameRange& r) {
  return os << "(" << r.start << ", " << r.end << ")";
}

// An ordered list of ranges, in the order the workers should take them.
using FramePlan = std::vector<FrameRange>;

}  // namespace vel
