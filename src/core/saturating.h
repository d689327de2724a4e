// Saturating integer arithmetic shared by counters, byte sums and frame
// spans: a value that would wrap sticks at the end of its range instead.
#pragma once

#include <cstdint>
#include <limits>

namespace vel {

inline uint64_t sat_add(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }
inline uint64_t sat_sub(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }
inline void sat_inc(uint64_t& v) { v = sat_add(v, 1); }

// A 128-bit intermediate brought back into i64.
inline int64_t clamp_i64(__int128 v) {
  if (v > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
  if (v < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

}  // namespace vel
