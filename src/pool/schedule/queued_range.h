// One range of a running batch still waiting for a worker.
#pragma once

#include <cstdint>

namespace vel {

struct QueuedRange {
  int64_t start = 0;
  int64_t end = 0;  // inclusive
  // Queued again to replay the frames a finished worker left missing: its
  // second and last chance. Clear on a first-chance range.
  bool replay = false;
  bool operator==(const QueuedRange&) const = default;
};

}  // namespace vel
