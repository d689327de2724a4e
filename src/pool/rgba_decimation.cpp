#include "pool/rgba_decimation.h"

#include <algorithm>
#include <cstring>

namespace vel {

std::optional<ReducedSize> reduced_rgba_size(uint32_t width, uint32_t height, uint64_t payload_bytes,
                                             uint64_t factor) {
  if (width == 0 || height == 0 || factor == 0) return std::nullopt;
  // Two 32-bit sides times 4 overflow 64 bits only past 2^62 pixels: the
  // product is exact, so one comparison covers the overflow as well.
  const unsigned __int128 full = static_cast<unsigned __int128>(width) * height * 4u;
  if (full != payload_bytes) return std::nullopt;
  ReducedSize size;
  size.width = static_cast<uint32_t>(std::max<uint64_t>(width / factor, 1));
  size.height = static_cast<uint32_t>(std::max<uint64_t>(height / factor, 1));
  size.bytes = static_cast<uint64_t>(size.width) * size.height * 4;
  return size;
}

bool reduce_rgba(std::span<const uint8_t> source, uint32_t width, uint32_t height, uint64_t factor,
                 const ReducedSize& size, std::span<uint8_t> out) {
  if (factor == 0 || out.size() != size.bytes) return false;
  const uint64_t row_bytes = static_cast<uint64_t>(width) * 4;
  for (uint64_t r = 0; r < size.height; ++r) {
    const uint64_t sr = r * factor;
    if (sr >= height) return false;
    for (uint64_t c = 0; c < size.width; ++c) {
      const uint64_t sc = c * factor;
      if (sc >= width) return false;
      const uint64_t from = sr * row_bytes + sc * 4;
      const uint64_t to = (r * size.width + c) * 4;
      if (from + 4 > source.size() || to + 4 > out.size()) return false;
      std::memcpy(out.data() + to, source.data() + from, 4);
    }
  }
  return true;
}

}  // namespace vel
