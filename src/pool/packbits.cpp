#include "pool/packbits.h"

#include <algorithm>
#include <cstring>

namespace vel {

namespace {

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
      if constexpr (kWrite) std::memcpy(out + produced, packed.data() + i, take);
      produced += take;
      i += count;
    } else {
      if (i >= len) return false;
      const size_t count = static_cast<size_t>(1 - header);
      const size_t take = std::min(count, expected - produced);
      if constexpr (kWrite) std::memset(out + produced, packed[i], take);
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
