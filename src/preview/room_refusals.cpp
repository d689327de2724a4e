#include "preview/room_refusals.h"

#include "cache/frame_cache_ops.h"

namespace vel {

namespace {
// Refusals of playheads long gone are forgotten past this many: a frame
// forgotten is at worst made once more and refused again.
constexpr size_t kMaxRemembered = 16384;
}  // namespace

void RoomRefusals::note(FrameKey key, std::optional<FrameKey> focus) {
  if (at_focus_.size() >= kMaxRemembered && !at_focus_.contains(key)) at_focus_.clear();
  at_focus_.insert_or_assign(key, focus);
}

void RoomRefusals::forget(FrameKey key) {
  if (!at_focus_.empty()) at_focus_.erase(key);
}

bool RoomRefusals::holds_back(const FrameCache& cache, FrameKey key) const {
  if (at_focus_.empty()) return false;
  const auto it = at_focus_.find(key);
  if (it == at_focus_.end()) return false;
  return it->second == cache.focus || !cache_would_keep(cache, key);
}

}  // namespace vel
