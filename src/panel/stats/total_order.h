// The IEEE 754 total order of doubles (−NaN < −∞ < … < −0 < +0 < … < +∞ <
// NaN), which the statistics sort and compare by, so that a stray NaN has
// a place instead of breaking the order.
#pragma once

#include <cstdint>
#include <cstring>

namespace vel {

inline int64_t total_order_key(double v) {
  int64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits < 0 ? bits ^ INT64_MAX : bits;
}

inline bool total_order_less(double a, double b) { return total_order_key(a) < total_order_key(b); }

}  // namespace vel
