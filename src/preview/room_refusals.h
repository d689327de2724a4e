// Frames the cache put out for lack of room as they went in: the frames it
// holds lie nearer the playhead. Such a frame is sound, unlike one whose
// render failed: it is asked for again once the playhead comes near it,
// not while the playhead stays where it was at the refusal (the same frame
// would be put out again, tick after tick) nor while the cache would still
// put it out. Main thread only.
#pragma once

#include <cstddef>
#include <optional>
#include <unordered_map>

#include "cache/frame_cache.h"
#include "cache/frame_key.h"

namespace vel {

class RoomRefusals {
 public:
  // `key` was refused while the cache's focus was `focus`.
  void note(FrameKey key, std::optional<FrameKey> focus);
  // `key` went in.
  void forget(FrameKey key);
  void clear() { at_focus_.clear(); }
  bool empty() const { return at_focus_.empty(); }
  size_t size() const { return at_focus_.size(); }
  template <class F>
  void for_each_key(F&& f) const {
    for (const auto& entry : at_focus_) f(entry.first);
  }

  // Whether `key` is not to be asked for now: refused at the cache's
  // present focus, or farther from it than every frame the cache holds.
  bool holds_back(const FrameCache& cache, FrameKey key) const;

 private:
  std::unordered_map<FrameKey, std::optional<FrameKey>, FrameKeyHasher> at_focus_;
};

}  // namespace vel
