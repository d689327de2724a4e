#include "platform/metal_mipmaps.h"

#include <algorithm>
#include <cstddef>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace platform {
namespace {

void downsample_texels(const uint8_t* r0, const uint8_t* r1, uint32_t up_width, uint8_t* o, uint32_t x_begin,
                       uint32_t x_end) {
  for (uint32_t x = x_begin; x < x_end; ++x) {
    const size_t x0 = size_t(std::min(2 * x, up_width - 1)) * 4;
    const size_t x1 = size_t(std::min(2 * x + 1, up_width - 1)) * 4;
    for (size_t c = 0; c < 4; ++c) {
      o[size_t(x) * 4 + c] = static_cast<uint8_t>((r0[x0 + c] + r0[x1 + c] + r1[x0 + c] + r1[x1 + c] + 2) / 4);
    }
  }
}

}  // namespace

void downsample_rows_plain(const metal::TextureLevelView& up, uint8_t* down, uint32_t down_width,
                           uint32_t row_begin, uint32_t row_end) {
  for (uint32_t y = row_begin; y < row_end; ++y) {
    const uint32_t y0 = std::min(2 * y, up.height - 1), y1 = std::min(2 * y + 1, up.height - 1);
    downsample_texels(up.bytes + size_t(y0) * up.width * 4, up.bytes + size_t(y1) * up.width * 4, up.width,
                      down + size_t(y) * down_width * 4, 0, down_width);
  }
}

void downsample_rows(const metal::TextureLevelView& up, uint8_t* down, uint32_t down_width, uint32_t row_begin,
                     uint32_t row_end) {
#ifndef __SSE2__
  downsample_rows_plain(up, down, down_width, row_begin, row_end);
#else
  const __m128i zero = _mm_setzero_si128(), two = _mm_set1_epi16(2);
  // Four texels of each of two rows (16-bit sums cannot overflow: 4 x 255 + 2)
  // to the two texels below them.
  auto pairs = [&](__m128i a, __m128i b) {
    const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
    const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
    const __m128i sums = _mm_add_epi16(_mm_unpacklo_epi64(lo, hi), _mm_unpackhi_epi64(lo, hi));
    return _mm_srli_epi16(_mm_add_epi16(sums, two), 2);
  };
  // Every texel below has both of its columns only when the level above is
  // at least two wide; a one-wide level repeats its column.
  const uint32_t whole = up.width >= 2 ? down_width : 0;
  for (uint32_t y = row_begin; y < row_end; ++y) {
    const uint32_t y0 = std::min(2 * y, up.height - 1), y1 = std::min(2 * y + 1, up.height - 1);
    const uint8_t* r0 = up.bytes + size_t(y0) * up.width * 4;
    const uint8_t* r1 = up.bytes + size_t(y1) * up.width * 4;
    uint8_t* o = down + size_t(y) * down_width * 4;
    uint32_t x = 0;
    for (; x + 4 <= whole; x += 4) {
      const auto* a = reinterpret_cast<const __m128i*>(r0 + size_t(x) * 8);
      const auto* b = reinterpret_cast<const __m128i*>(r1 + size_t(x) * 8);
      const __m128i left = pairs(_mm_loadu_si128(a), _mm_loadu_si128(b));
      const __m128i right = pairs(_mm_loadu_si128(a + 1), _mm_loadu_si128(b + 1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + size_t(x) * 4), _mm_packus_epi16(left, right));
    }
    downsample_texels(r0, r1, up.width, o, x, down_width);
  }
#endif
}

}  // namespace platform
