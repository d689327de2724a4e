// CachedComp: a composition the user switched away from, set aside whole in
// the archive with its index, its frames in time order and its playhead.
// Its entries hold their payloads but make no claims in the accounting.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <unordered_map>

#include "cache/cached_frame.h"
#include "cache/frame_key.h"

namespace vel {

using FrameIndex = std::unordered_map<FrameKey, CachedFrame, FrameKeyHasher>;
using TimeOrderedKeys = std::set<TimedKey>;

struct CachedComp {
  FrameIndex index;
  uint64_t comp_id = 0;
  TimeOrderedKeys frames_by_time;
  std::optional<FrameKey> focus;
};

}  // namespace vel
