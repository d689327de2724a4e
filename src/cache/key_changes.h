// The RAM cache's journal of the keys whose entry came, went or changed
// size, in order. The passes that keep something per cached key (the
// store's loads, the delivery window, the cache strip's columns) follow the
// keys noted since they last looked, instead of going through every cached
// key at each change. Packing or unpacking a frame changes neither which
// keys are cached nor their size, and is not noted. Main thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "cache/frame_key.h"

namespace vel {

// What became of a key's entry.
enum class KeyChange : uint8_t {
  Came,      // a key the index did not hold
  Went,      // taken out of the index
  Replaced,  // a new frame for a key the index held (its size may differ)
};

// Where a follower of the journal stands: the keys noted before `next` in
// era `era` are taken into account.
struct KeyCursor {
  uint64_t era = 0;
  uint64_t next = 0;
  friend bool operator==(const KeyCursor&, const KeyCursor&) = default;
};

class KeyChanges {
 public:
  // The latest changes kept: a follower further behind goes through the
  // cache again, which costs no more than following them.
  static constexpr uint64_t kKept = 16384;

  void note(FrameKey key, KeyChange change) {
    if (ring_.empty()) ring_.resize(kKept);
    ring_[next_ % kKept] = Noted{key, change};
    ++next_;
  }

  // The whole index changed at once (emptied, set aside, restored): every
  // follower starts over.
  void restart() {
    ++era_;
    first_ = next_;
  }

  KeyCursor cursor() const { return {era_, next_}; }

  // Whether the keys noted since `from` are all still kept.
  bool can_follow(KeyCursor from) const {
    return from.era == era_ && from.next <= next_ && from.next >= first_ && next_ - from.next <= kKept;
  }

  // Calls `f` with each key noted since `from` and what became of it,
  // oldest first (a key noted twice comes twice); false, calling nothing,
  // when they are not all kept.
  template <class F>
  bool follow(KeyCursor from, F&& f) const {
    if (!can_follow(from)) return false;
    for (uint64_t i = from.next; i < next_; ++i) f(ring_[i % kKept].key, ring_[i % kKept].change);
    return true;
  }

 private:
  struct Noted {
    FrameKey key;
    KeyChange change = KeyChange::Came;
  };
  std::vector<Noted> ring_;
  uint64_t era_ = 0;
  uint64_t first_ = 0;  // the oldest change of this era
  uint64_t next_ = 0;   // the number the next change takes
};

}  // namespace vel
