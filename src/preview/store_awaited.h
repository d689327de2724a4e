// The frame keys asked of the disk store and not answered yet, in the order
// they were asked. The store answers its load jobs one after the other, a
// key at a time, and two answers wait at most for the main thread: a key
// asked behind thousands of others (those of the playhead's last position)
// is answered thousands of answers later. The keys that came and went are
// noted in order, so that the delivery window follows them as it follows
// the cache's (key_changes.h) instead of weighing every awaited key at every
// tick. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>

#include "cache/frame_key.h"
#include "cache/key_changes.h"

namespace vel {

class StoreAwaited {
 public:
  // Asks for `key`; one still awaited keeps its place (the store answers
  // the first request first).
  void insert(FrameKey key);
  template <class It>
  void insert(It first, It last) {
    for (; first != last; ++first) insert(*first);
  }
  // The store answered `key` (a frame or "missing"); how many were removed.
  size_t erase(FrameKey key);
  void clear();

  size_t count(FrameKey key) const { return order_.count(key); }
  size_t size() const { return order_.size(); }
  bool empty() const { return order_.empty(); }

  // Whether the store's next answer is the one for `key`: nothing asked
  // before it is still unanswered. False for a key not awaited.
  bool answered_next(FrameKey key) const;

  // The journal of the keys that came (asked) and went (answered); a clear
  // starts its followers over.
  const KeyChanges& changes() const { return changes_; }

 private:
  uint64_t next_ = 0;
  std::unordered_map<FrameKey, uint64_t, FrameKeyHasher> order_;
  std::map<uint64_t, FrameKey> by_order_;
  KeyChanges changes_;
};

}  // namespace vel
