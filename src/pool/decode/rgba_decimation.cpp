#include "pool/decode/rgba_decimation.h"

#include <algorithm>
#include <cstring>

#include "pool/decode/rgba_decimation_simd.h"

namespace vel {

namespace {

// Pixel c of `out` is pixel c × step of `row`; both are known to be long
// enough, and so is `next` (the row the following call reads, or null),
// whose same pixels are asked of the cache meanwhile: rows `step` apart
// defeat the processor's own prefetcher. Four pixels a round keep the loads
// independent of each other.
void copy_every_nth_pixel(const uint8_t* row, const uint8_t* next, uint64_t step, uint8_t* out, uint32_t count) {
  // Offsets from the row's start, never a pointer stepped past the last
  // pixel read: with a large step that would leave the buffer (undefined,
  // and it wraps).
  const uint64_t stride = step * 4;
  uint32_t c = 0;
  for (; c + 4 <= count; c += 4, out += 16) {
    const uint8_t* p = row + c * stride;
    if (next != nullptr) __builtin_prefetch(next + c * stride);
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

bool row_copier_available(RowCopier copier) {
  return copier == RowCopier::portable || decimation_simd::available(copier);
}

bool reduce_rgba(std::span<const uint8_t> source, uint32_t width, uint32_t height, uint64_t factor,
                 const ReducedSize& size, std::span<uint8_t> out) {
  static const RowCopier fastest = row_copier_available(RowCopier::avx512) ? RowCopier::avx512
                                   : row_copier_available(RowCopier::sse2) ? RowCopier::sse2
                                                                           : RowCopier::portable;
  return reduce_rgba_with(fastest, source, width, height, factor, size, out);
}

bool reduce_rgba_with(RowCopier copier, std::span<const uint8_t> source, uint32_t width, uint32_t height,
                      uint64_t factor, const ReducedSize& size, std::span<uint8_t> out) {
  if (!row_copier_available(copier) || factor == 0 || out.size() != size.bytes) return false;
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
  const bool vector = copier != RowCopier::portable;
  for (uint64_t r = 0; r < size.height; ++r) {
    const uint8_t* row = source.data() + r * factor * row_bytes;
    // The following reduced row lies inside the image by the checks above;
    // past the last one there is none to form.
    const uint8_t* next = r + 1 < size.height ? source.data() + (r + 1) * factor * row_bytes : nullptr;
    uint8_t* dst = out.data() + r * out_row_bytes;
    if (!vector || !decimation_simd::copy_every_nth_pixel(copier, row, next, width, factor, dst, size.width)) {
      copy_every_nth_pixel(row, next, factor, dst, size.width);
    }
  }
  if (vector) decimation_simd::finish();
  return true;
}

}  // namespace vel
