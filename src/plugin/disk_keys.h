// The frames of the open stream on disk: the store's listing at the opening,
// kept as it came (sorted, searched in place), with the frames saved since
// and those it removed or could not load beside it. A listing of a million
// keys is taken whole in one move: building a hash set of it held the main
// thread for a fifth of a second at every opening. Main thread only.
#pragma once

#include <cstddef>
#include <unordered_set>
#include <vector>

#include "cache/frame_key.h"

namespace vel {

class DiskKeys {
 public:
  // The store's listing, in the order of its reply (sorted, no key twice).
  // Replaces an earlier one; the keys saved before it are kept.
  void take_listing(std::vector<FrameKey> sorted);
  void insert(FrameKey key);
  void erase(FrameKey key);
  void clear();

  bool contains(FrameKey key) const;
  size_t size() const { return listed_.size() - gone_.size() + added_.size(); }
  bool empty() const { return size() == 0; }

 private:
  bool listed(FrameKey key) const;

  std::vector<FrameKey> listed_;
  std::unordered_set<FrameKey, FrameKeyHasher> added_;  // on disk, not listed
  std::unordered_set<FrameKey, FrameKeyHasher> gone_;   // listed, no longer on disk
};

}  // namespace vel
