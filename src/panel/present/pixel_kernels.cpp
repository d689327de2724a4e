#include "panel/present/pixel_kernels.h"

#include <algorithm>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VEL_HAVE_AVX2_PATH 1
#endif

#include "core/machine.h"

namespace vel {
namespace {

constexpr unsigned kLightGrey = 153;
constexpr unsigned kDarkGrey = 102;

// (s >> 2) + ((s >> 1) & 1), which equals (s + 2) >> 2: a remainder of 2 or
// 3 rounds up.
inline uint8_t box_mean(unsigned s) { return static_cast<uint8_t>((s + 2) >> 2); }

void halve_scalar(const uint8_t* row0, const uint8_t* row1, uint8_t* out, uint32_t out_w, uint32_t x) {
  for (; x < out_w; ++x) {
    const uint8_t* p = row0 + static_cast<size_t>(x) * 8;
    const uint8_t* q = row1 + static_cast<size_t>(x) * 8;
    for (int c = 0; c < 4; ++c) out[static_cast<size_t>(x) * 4 + c] = box_mean(p[c] + p[c + 4] + q[c] + q[c + 4]);
  }
}

inline void flatten_one(const uint8_t* s, uint8_t* d, unsigned grey, bool swap) {
  const unsigned a = s[3];
  const unsigned add = ((255 - a) * grey + 127) / 255;  // 0 for an opaque pixel
  const uint8_t r = static_cast<uint8_t>(std::min(255u, s[0] + add));
  const uint8_t g = static_cast<uint8_t>(std::min(255u, s[1] + add));
  const uint8_t b = static_cast<uint8_t>(std::min(255u, s[2] + add));
  d[0] = swap ? b : r;
  d[1] = g;
  d[2] = swap ? r : b;
  d[3] = 255;
}

// Pixels from x to the end of the row, one at a time.
void flatten_scalar(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t cell, bool row_dark, bool swap,
                    uint32_t x) {
  bool dark = cell != 0 && (((x / cell) & 1) != 0) != row_dark;
  uint32_t left = cell != 0 ? cell - x % cell : 0;
  for (; x < width; ++x) {
    const unsigned grey = cell == 0 ? 0 : dark ? kDarkGrey : kLightGrey;
    flatten_one(src + static_cast<size_t>(x) * 4, dst + static_cast<size_t>(x) * 4, grey, swap);
    if (cell != 0 && --left == 0) {
      left = cell;
      dark = !dark;
    }
  }
}

#if defined(__SSE2__)
// A pixel per 32-bit lane: the grey's share ⌊((255 − a) × g + 127) / 255⌋ is
// computed once per pixel, spread to its three colours and added with byte
// saturation (min(255, c + add)). Every product stays below 65536, so 16-bit
// multiplies are exact per lane, and ⌊y / 255⌋ = ((y + 1) × 257) >> 16 for
// y < 65535. Lanes track their place in the period of two squares, so no
// division is needed: this takes 2 × cell ≥ 4.
uint32_t flatten_sse2(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t cell, bool row_dark, bool swap) {
  const __m128i light = _mm_set1_epi32(cell != 0 ? kLightGrey : 0);
  const __m128i step = _mm_set1_epi32(cell != 0 ? kLightGrey - kDarkGrey : 0);
  const __m128i period = _mm_set1_epi32(static_cast<int>(2 * cell));
  const __m128i last_light = _mm_set1_epi32(static_cast<int>(cell) - 1);
  const __m128i row_mask = _mm_set1_epi32(row_dark ? -1 : 0);
  __m128i phase = _mm_set_epi32(3, 2, 1, 0);
  uint32_t x = 0;
  for (; x + 4 <= width; x += 4) {
    const __m128i dark = _mm_xor_si128(_mm_cmpgt_epi32(phase, last_light), row_mask);
    const __m128i grey = _mm_sub_epi32(light, _mm_and_si128(dark, step));
    const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + static_cast<size_t>(x) * 4));
    const __m128i inverse = _mm_xor_si128(_mm_srli_epi32(px, 24), _mm_set1_epi32(255));
    const __m128i y1 = _mm_add_epi32(_mm_mullo_epi16(inverse, grey), _mm_set1_epi32(128));
    const __m128i add = _mm_mulhi_epu16(y1, _mm_set1_epi32(257));
    const __m128i spread = _mm_or_si128(_mm_mullo_epi16(add, _mm_set1_epi32(0x0101)), _mm_slli_epi32(add, 16));
    __m128i v = _mm_adds_epu8(px, spread);
    if (swap) {
      const __m128i keep = _mm_and_si128(v, _mm_set1_epi32(static_cast<int>(0xFF00FF00u)));
      const __m128i red = _mm_and_si128(v, _mm_set1_epi32(0x000000FF));
      const __m128i blue = _mm_and_si128(v, _mm_set1_epi32(0x00FF0000));
      v = _mm_or_si128(keep, _mm_or_si128(_mm_slli_epi32(red, 16), _mm_srli_epi32(blue, 16)));
    }
    v = _mm_or_si128(v, _mm_set1_epi32(static_cast<int>(0xFF000000u)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + static_cast<size_t>(x) * 4), v);
    phase = _mm_add_epi32(phase, _mm_set1_epi32(4));
    phase = _mm_sub_epi32(phase, _mm_and_si128(_mm_cmpgt_epi32(phase, _mm_sub_epi32(period, _mm_set1_epi32(1))), period));
  }
  return x;
}

uint32_t halve_sse2(const uint8_t* row0, const uint8_t* row1, uint8_t* out, uint32_t out_w) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i two = _mm_set1_epi16(2);
  uint32_t x = 0;
  // Four source pixels of two rows give two result pixels.
  for (; x + 4 <= out_w; x += 4) {
    __m128i res[2];
    for (int half = 0; half < 2; ++half) {
      const size_t off = (static_cast<size_t>(x) * 2 + half * 4) * 4;
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row0 + off));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row1 + off));
      const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
      const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
      const __m128i lo_sum = _mm_add_epi16(lo, _mm_srli_si128(lo, 8));
      const __m128i hi_sum = _mm_add_epi16(hi, _mm_srli_si128(hi, 8));
      res[half] = _mm_srli_epi16(_mm_add_epi16(_mm_unpacklo_epi64(lo_sum, hi_sum), two), 2);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + static_cast<size_t>(x) * 4), _mm_packus_epi16(res[0], res[1]));
  }
  return x;
}
#endif

#if defined(VEL_HAVE_AVX2_PATH)
// The same loops eight pixels at a time (flattening takes 2 × cell ≥ 8).
__attribute__((target("avx2"))) uint32_t flatten_avx2(const uint8_t* src, uint8_t* dst, uint32_t width,
                                                      uint32_t cell, bool row_dark, bool swap) {
  const __m256i light = _mm256_set1_epi32(cell != 0 ? kLightGrey : 0);
  const __m256i step = _mm256_set1_epi32(cell != 0 ? kLightGrey - kDarkGrey : 0);
  const __m256i period = _mm256_set1_epi32(static_cast<int>(2 * cell));
  const __m256i period_m1 = _mm256_set1_epi32(static_cast<int>(2 * cell) - 1);
  const __m256i last_light = _mm256_set1_epi32(static_cast<int>(cell) - 1);
  const __m256i row_mask = _mm256_set1_epi32(row_dark ? -1 : 0);
  __m256i phase = _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0);
  uint32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    const __m256i dark = _mm256_xor_si256(_mm256_cmpgt_epi32(phase, last_light), row_mask);
    const __m256i grey = _mm256_sub_epi32(light, _mm256_and_si256(dark, step));
    const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + static_cast<size_t>(x) * 4));
    const __m256i inverse = _mm256_xor_si256(_mm256_srli_epi32(px, 24), _mm256_set1_epi32(255));
    const __m256i y1 = _mm256_add_epi32(_mm256_mullo_epi16(inverse, grey), _mm256_set1_epi32(128));
    const __m256i add = _mm256_mulhi_epu16(y1, _mm256_set1_epi32(257));
    const __m256i spread =
        _mm256_or_si256(_mm256_mullo_epi16(add, _mm256_set1_epi32(0x0101)), _mm256_slli_epi32(add, 16));
    __m256i v = _mm256_adds_epu8(px, spread);
    if (swap) {
      const __m256i keep = _mm256_and_si256(v, _mm256_set1_epi32(static_cast<int>(0xFF00FF00u)));
      const __m256i red = _mm256_and_si256(v, _mm256_set1_epi32(0x000000FF));
      const __m256i blue = _mm256_and_si256(v, _mm256_set1_epi32(0x00FF0000));
      v = _mm256_or_si256(keep, _mm256_or_si256(_mm256_slli_epi32(red, 16), _mm256_srli_epi32(blue, 16)));
    }
    v = _mm256_or_si256(v, _mm256_set1_epi32(static_cast<int>(0xFF000000u)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + static_cast<size_t>(x) * 4), v);
    phase = _mm256_add_epi32(phase, _mm256_set1_epi32(8));
    phase = _mm256_sub_epi32(phase, _mm256_and_si256(_mm256_cmpgt_epi32(phase, period_m1), period));
  }
  return x;
}

__attribute__((target("avx2"))) uint32_t halve_avx2(const uint8_t* row0, const uint8_t* row1, uint8_t* out,
                                                    uint32_t out_w) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i two = _mm256_set1_epi16(2);
  uint32_t x = 0;
  for (; x + 8 <= out_w; x += 8) {
    __m256i res[2];
    for (int half = 0; half < 2; ++half) {
      const size_t off = (static_cast<size_t>(x) * 2 + half * 8) * 4;
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row0 + off));
      const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row1 + off));
      const __m256i lo = _mm256_add_epi16(_mm256_unpacklo_epi8(a, zero), _mm256_unpacklo_epi8(b, zero));
      const __m256i hi = _mm256_add_epi16(_mm256_unpackhi_epi8(a, zero), _mm256_unpackhi_epi8(b, zero));
      const __m256i lo_sum = _mm256_add_epi16(lo, _mm256_srli_si256(lo, 8));
      const __m256i hi_sum = _mm256_add_epi16(hi, _mm256_srli_si256(hi, 8));
      res[half] = _mm256_srli_epi16(_mm256_add_epi16(_mm256_unpacklo_epi64(lo_sum, hi_sum), two), 2);
    }
    // packus interleaves the 128-bit lanes: put the results back in order.
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(res[0], res[1]), _MM_SHUFFLE(3, 1, 2, 0));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + static_cast<size_t>(x) * 4), packed);
  }
  return x;
}

#endif

}  // namespace

void halve_row_pair(const uint8_t* row0, const uint8_t* row1, uint8_t* out, uint32_t out_w) {
  uint32_t x = 0;
#if defined(VEL_HAVE_AVX2_PATH)
  if (cpu_has_avx2()) x = halve_avx2(row0, row1, out, out_w);
#endif
#if defined(__SSE2__)
  if (x == 0) x = halve_sse2(row0, row1, out, out_w);
#endif
  halve_scalar(row0, row1, out, out_w, x);
}

void flatten_row(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t cell, bool row_dark, bool swap) {
  uint32_t x = 0;
#if defined(VEL_HAVE_AVX2_PATH)
  if (cpu_has_avx2() && (cell == 0 || cell >= 4)) x = flatten_avx2(src, dst, width, cell, row_dark, swap);
#endif
#if defined(__SSE2__)
  if (x == 0 && (cell == 0 || cell >= 2)) x = flatten_sse2(src, dst, width, cell, row_dark, swap);
#endif
  flatten_scalar(src, dst, width, cell, row_dark, swap, x);
}

}  // namespace vel
