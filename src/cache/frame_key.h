// FrameKey: the host time of a frame (value over scale), the key of every
// frame cache and frame file name. Keys are never reduced: 1/24 and 2/48 are
// two keys. Time order goes through whole microseconds, then value, then
// scale, so keys of different scales interleave by time and never tie.
#pragma once

#include <cmath>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/hasher.h"

namespace vel {

struct FrameKey {
  int32_t value = 0;
  uint32_t scale = 0;

  friend constexpr bool operator==(const FrameKey&, const FrameKey&) = default;
};

// Saturating conversion of a double to i64; NaN gives 0.
inline int64_t saturating_i64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);
}

// round(value / scale × 1e6) in double precision, saturated to i64; a scale
// of 0 gives 0 (such keys sort with time 0, then by value).
inline int64_t key_micros(FrameKey key) {
  if (key.scale == 0) return 0;
  return saturating_i64(std::round(static_cast<double>(key.value) / static_cast<double>(key.scale) * 1e6));
}

// The element of every time-ordered set of the cache: (µs, value, scale),
// compared field by field, value signed and scale unsigned.
struct TimedKey {
  int64_t micros = 0;
  FrameKey key;

  static TimedKey of(FrameKey k) { return TimedKey{key_micros(k), k}; }

  friend constexpr bool operator==(const TimedKey& a, const TimedKey& b) {
    return a.micros == b.micros && a.key == b.key;
  }
  friend constexpr std::strong_ordering operator<=>(const TimedKey& a, const TimedKey& b) {
    if (auto c = a.micros <=> b.micros; c != 0) return c;
    if (auto c = a.key.value <=> b.key.value; c != 0) return c;
    return a.key.scale <=> b.key.scale;
  }
};

// Time order of two keys (the order of their TimedKey).
inline bool frame_key_time_less(FrameKey a, FrameKey b) { return TimedKey::of(a) < TimedKey::of(b); }

// Pair form of the integer hasher (seed for 32-bit keys and key pairs).
struct FrameKeyHasher {
  size_t operator()(FrameKey k) const {
    return static_cast<size_t>(hash_pair(static_cast<uint32_t>(k.value), k.scale, kHashSeed32));
  }
};

}  // namespace vel
