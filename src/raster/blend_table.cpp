#include "raster/blend_table.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

namespace vel {
namespace {

// p >> 16 is alpha x 256 + blue, the blue lookup's index as it stands; the
// others take its alpha part.
inline uint32_t look_up(const uint32_t* table, uint32_t p) {
  const uint32_t high = p >> 16, row = high & 0xFF00;
  return (table[row | (p & 0xFF)] & 0xFF0000FFu) | (table[row | ((p >> 8) & 0xFF)] & 0x0000FF00u) |
         (table[high] & 0x00FF0000u);
}

}  // namespace

std::unique_ptr<BlendTable> BlendTable::identity() {
  if constexpr (std::endian::native != std::endian::little) return nullptr;
  std::unique_ptr<BlendTable> out(new (std::nothrow) BlendTable);
  if (!out) return nullptr;
  out->entries_.reset(new (std::nothrow) uint32_t[kEntries]);
  if (!out->entries_) return nullptr;
  for (uint32_t alpha = 0; alpha < 256; ++alpha) {
    for (uint32_t c = 0; c < 256; ++c) out->entries_[(alpha << 8) | c] = c | (c << 8) | (c << 16) | (alpha << 24);
  }
  return out;
}

void BlendTable::compose(const BlendTable& after) {
  const uint32_t* const next = after.entries_.get();
  for (size_t i = 0; i < kEntries; ++i) entries_[i] = look_up(next, entries_[i]);
}

void BlendTable::apply(uint8_t* pixels, size_t count) const {
  const uint32_t* const table = entries_.get();
  // The loop's own count and test weigh on a body this short.
#pragma GCC unroll 4
  for (size_t i = 0; i < count; ++i) {
    uint32_t p;
    std::memcpy(&p, pixels + 4 * i, 4);
    p = look_up(table, p);
    std::memcpy(pixels + 4 * i, &p, 4);
  }
}

std::shared_ptr<const BlendTable> BlendTableCache::find(const Key& key) {
  std::lock_guard lock(mutex_);
  for (Entry& e : entries_) {
    if (e.key == key) {
      e.used = ++clock_;
      return e.table;
    }
  }
  return nullptr;
}

size_t BlendTableCache::size() {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void BlendTableCache::insert(Key key, std::shared_ptr<const BlendTable> table) {
  if (!table) return;
  std::lock_guard lock(mutex_);
  for (Entry& e : entries_) {
    // Two threads that missed together made the same table: keep the first.
    if (e.key == key) {
      e.used = ++clock_;
      return;
    }
  }
  if (entries_.size() < kCapacity) {
    entries_.push_back({std::move(key), std::move(table), ++clock_});
    return;
  }
  Entry& oldest = *std::min_element(entries_.begin(), entries_.end(),
                                    [](const Entry& a, const Entry& b) { return a.used < b.used; });
  oldest = {std::move(key), std::move(table), ++clock_};
}

}  // namespace vel
