#include "preview/store_awaited.h"

namespace vel {

void StoreAwaited::insert(FrameKey key) {
  if (!order_.emplace(key, next_).second) return;
  by_order_.emplace(next_, key);
  ++next_;
  changes_.note(key, KeyChange::Came);
}

size_t StoreAwaited::erase(FrameKey key) {
  auto it = order_.find(key);
  if (it == order_.end()) return 0;
  by_order_.erase(it->second);
  order_.erase(it);
  changes_.note(key, KeyChange::Went);
  return 1;
}

void StoreAwaited::clear() {
  if (!order_.empty()) changes_.restart();
  order_.clear();
  by_order_.clear();
}

bool StoreAwaited::answered_next(FrameKey key) const {
  auto it = order_.find(key);
  return it != order_.end() && !by_order_.empty() && by_order_.begin()->first == it->second;
}

}  // namespace vel
