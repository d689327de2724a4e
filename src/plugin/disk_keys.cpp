#include "plugin/disk_keys.h"

#include <algorithm>
#include <utility>

#include "store/store_worker.h"

namespace vel {

void DiskKeys::take_listing(std::vector<FrameKey> sorted) {
  listed_ = std::move(sorted);
  gone_.clear();
  std::erase_if(added_, [this](FrameKey key) { return listed(key); });
}

void DiskKeys::insert(FrameKey key) {
  if (listed(key)) {
    gone_.erase(key);
  } else {
    added_.insert(key);
  }
}

void DiskKeys::erase(FrameKey key) {
  if (listed(key)) {
    gone_.insert(key);
  } else {
    added_.erase(key);
  }
}

void DiskKeys::clear() {
  listed_ = {};
  added_.clear();
  gone_.clear();
}

bool DiskKeys::contains(FrameKey key) const { return listed(key) ? !gone_.contains(key) : added_.contains(key); }

bool DiskKeys::listed(FrameKey key) const {
  return std::binary_search(listed_.begin(), listed_.end(), key, listing_less);
}

}  // namespace vel
