#include "pool/decode/packbits.h"

#include <algorithm>
#include <cstring>

namespace vel {

namespace {

// Packets are at most 128 bytes: too short for the string instructions a
// library memcpy or memset picks, which cost more to start than the copy.
// Fixed-size pieces, the last one overlapping the one before, stay inside
// [dst, dst + n) and, for copies, inside [src, src + n).
void copy_short(uint8_t* dst, const uint8_t* src, size_t n) {
  if (n >= 16) {
    for (size_t k = 0; k + 16 < n; k += 16) std::memcpy(dst + k, src + k, 16);
    std::memcpy(dst + n - 16, src + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(dst, src, 8);
    std::memcpy(dst + n - 8, src + n - 8, 8);
  } else {
    for (size_t k = 0; k < n; ++k) dst[k] = src[k];
  }
}

void fill_short(uint8_t* dst, uint8_t value, size_t n) {
  uint8_t pattern[16];
  std::memset(pattern, value, sizeof pattern);
  copy_short(dst, pattern, std::min(n, sizeof pattern));
  for (size_t k = 16; k < n; k += 16) std::memcpy(dst + std::min(k, n - 16), pattern, 16);
}

template <bool kWrite>
bool walk_packbits(std::span<const uint8_t> packed, size_t expected, uint8_t* out) {
  const size_t len = packed.size();
  size_t produced = 0;
  size_t i = 0;
  while (i < len) {
    const int header = static_cast<int8_t>(packed[i++]);
    if (header == -128) continue;
    if (produced >= expected) return false;
    if (header >= 0) {
      const size_t count = static_cast<size_t>(header) + 1;
      if (count > len - i) return false;
      const size_t take = std::min(count, expected - produced);
      if constexpr (kWrite) copy_short(out + produced, packed.data() + i, take);
      produced += take;
      i += count;
    } else {
      if (i >= len) return false;
      const size_t count = static_cast<size_t>(1 - header);
      const size_t take = std::min(count, expected - produced);
      if constexpr (kWrite) fill_short(out + produced, packed[i], take);
      produced += take;
      ++i;
    }
  }
  return produced >= expected;
}

}  // namespace

bool unpack_bits_row(std::span<const uint8_t> packed, size_t expected, uint8_t* out) {
  return walk_packbits<true>(packed, expected, out);
}

bool check_packbits_row(std::span<const uint8_t> packed, size_t expected) {
  return walk_packbits<false>(packed, expected, nullptr);
}

}  // namespace vel
