// A pid → row index over process rows: open addressing in one power-of-two
// table, one allocation for a whole listing, no allocation per row.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "core/hasher.h"
#include "pool/process/process_listing.h"

namespace vel {

inline constexpr uint32_t kNoRow = UINT32_MAX;

class PidIndex {
 public:
  explicit PidIndex(size_t rows) : mask_(std::bit_ceil(rows * 2 + 2) - 1), slots_(mask_ + 1, kNoRow) {}
  // Adds `row` under its pid; false when that pid already has a row (the
  // first one stays).
  bool insert(uint32_t pid, uint32_t row, const std::vector<ProcessRow>& rows) {
    for (size_t s = hash(pid);; s = (s + 1) & mask_) {
      if (slots_[s] == kNoRow) {
        slots_[s] = row;
        return true;
      }
      if (rows[slots_[s]].pid == pid) return false;
    }
  }
  uint32_t find(uint32_t pid, const std::vector<ProcessRow>& rows) const {
    for (size_t s = hash(pid);; s = (s + 1) & mask_) {
      if (slots_[s] == kNoRow || rows[slots_[s]].pid == pid) return slots_[s];
    }
  }

 private:
  size_t hash(uint32_t pid) const { return IntKeyHasher<>{}(pid) & mask_; }
  size_t mask_;
  std::vector<uint32_t> slots_;
};

}  // namespace vel
