// How far a frame lies from the playhead, as the cache and the disk store
// rank what to let go first: the forward distance in loop order, wrapping
// inside the work range; frames outside the work range are farther than any
// inside. Pure.
#pragma once

#include <cstdint>
#include <optional>
#include <set>

#include "cache/frame_key.h"

namespace vel {

// A work range in microseconds (end exclusive), as the cache holds it.
struct MicrosRange {
  bool valid = false;
  int64_t start = 0;
  int64_t end = 0;
  friend bool operator==(const MicrosRange&, const MicrosRange&) = default;
};

// Distance of `key` from `focus` in microseconds.
int64_t distance_from_focus(FrameKey focus, const MicrosRange& range, FrameKey key);

// The farthest key of `set` from `focus` among three candidates (earliest,
// latest, last before the focus), which hold the farthest of all; never the
// focus key itself. On a tie the later candidate wins.
std::optional<TimedKey> farthest_key_from(FrameKey focus, const MicrosRange& range, const std::set<TimedKey>& set);

}  // namespace vel
