#include "pool/decode/rgba_decimation.h"

#include <algorithm>
#include <cstring>

namespace vel {

namespace {

// Pixel c of `out` is pixel c × step of `row`; both are known to be long
// enough. Four pixels a round keep the loads independent of each other.
void copy_every_nth_pixel(const uint8_t* row, uint64_t step, uint8_t* out, uint32_t count) {
  // Offsets from the row's start, never a pointer stepped past the last
  // pixel read: with a large step that would leave the buffer (undefined,
  // and it wraps).
  const uint64_t stride = step * 4;
  uint32_t c = 0;
  for (; c + 4 <= count; c += 4, out += 16) {
    const uint8_t* p = row + c * stride;
    uint32_t px[4];
    std::memcpy(&px[0], p, 4);
    std::memcpy(&px[1], p + stride, 4);
    std::memcpy(&px[2], p + 2 * stride, 4);
    std::memcpy(&px[3], p + 3 * stride, 4);
    std::memcpy(out, px, 16);
  }
  for (; c < count; ++c, out += 4) std::memcpy(out, row + c * stride, 4);
}

}  // namespace

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
  if (size.width == 0 || size.height == 0) return true;  // nothing to copy
  if (width == 0 || height == 0) return false;
  // Bounds are settled before the copy, not per pixel: the last column read
  // lies inside a row, the last row read inside the image, and the image
  // and the reduced rows inside their buffers. A factor past a side that
  // still asks for two or more pixels along it is refused first, which keeps
  // the products below from overflowing.
  if ((factor > width && size.width > 1) || (factor > height && size.height > 1)) return false;
  const uint64_t row_bytes = uint64_t{width} * 4, out_row_bytes = uint64_t{size.width} * 4;
  if ((size.width - 1) * factor >= width || (uint64_t{size.height} - 1) * factor >= height) return false;
  if (source.size() / row_bytes < height || out.size() / out_row_bytes < size.height) return false;
  for (uint64_t r = 0; r < size.height; ++r) {
    copy_every_nth_pixel(source.data() + r * factor * row_bytes, factor, out.data() + r * out_row_bytes, size.width);
  }
  return true;
}

}  // namespace vel
