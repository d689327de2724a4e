// Wide paths of the decoders' per-pixel loops: four RGBA pixels, or sixteen
// samples of a plane, at a time in SSE2 (present on every x86-64), giving
// exactly the scalar results:
// colour c under alpha a becomes (t + (t >> 8)) >> 8 with t = c × a + 128,
// and alpha stays as it is (a × 255 gives a back through the same rule).
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#define VEL_POOL_SSE2 1
#endif

namespace vel {

#if defined(VEL_POOL_SSE2)

// Two pixels as eight 16-bit lanes R G B A R G B A, premultiplied.
inline __m128i premultiply_two_pixels(__m128i v) {
  const __m128i alpha = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xFF), 0xFF);
  const __m128i colour_lanes = _mm_set_epi16(0, -1, -1, -1, 0, -1, -1, -1);
  const __m128i alpha_lanes_255 = _mm_set_epi16(255, 0, 0, 0, 255, 0, 0, 0);
  const __m128i factor = _mm_or_si128(_mm_and_si128(alpha, colour_lanes), alpha_lanes_255);
  const __m128i t = _mm_add_epi16(_mm_mullo_epi16(v, factor), _mm_set1_epi16(128));
  return _mm_srli_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), 8);
}

// Whether all four pixels have alpha 255: premultiplying changes nothing
// then, and rendered frames are mostly opaque or fully transparent.
inline bool all_opaque(__m128i px) {
  const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  return _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(px, alpha), alpha)) == 0xFFFF;
}

// Sixteen samples of one colour plane under the matching alpha, given
// widened to 16 bits (low and high eight).
inline __m128i premultiply_plane(__m128i colour, __m128i alpha_lo, __m128i alpha_hi) {
  const __m128i zero = _mm_setzero_si128(), half = _mm_set1_epi16(128);
  __m128i lo = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(colour, zero), alpha_lo), half);
  __m128i hi = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(colour, zero), alpha_hi), half);
  lo = _mm_srli_epi16(_mm_add_epi16(lo, _mm_srli_epi16(lo, 8)), 8);
  hi = _mm_srli_epi16(_mm_add_epi16(hi, _mm_srli_epi16(hi, 8)), 8);
  return _mm_packus_epi16(lo, hi);
}

// Sixteen pixels held as planes, premultiplied in place; alpha stays.
inline void premultiply_planes(__m128i& r, __m128i& g, __m128i& b, __m128i a) {
  const __m128i zero = _mm_setzero_si128();
  const int opaque = _mm_movemask_epi8(_mm_cmpeq_epi8(a, _mm_set1_epi8(static_cast<char>(0xFF))));
  if (opaque == 0xFFFF) return;
  if (_mm_movemask_epi8(_mm_cmpeq_epi8(a, zero)) == 0xFFFF) {
    r = g = b = zero;
    return;
  }
  const __m128i alpha_lo = _mm_unpacklo_epi8(a, zero), alpha_hi = _mm_unpackhi_epi8(a, zero);
  r = premultiply_plane(r, alpha_lo, alpha_hi);
  g = premultiply_plane(g, alpha_lo, alpha_hi);
  b = premultiply_plane(b, alpha_lo, alpha_hi);
}

// Four stored Targa pixels B G R A to R G B A, premultiplied when
// `premultiply`, alpha forced to 255 when `opaque`.
inline __m128i targa_four_pixels(__m128i px, bool premultiply, bool opaque) {
  const __m128i zero = _mm_setzero_si128();
  if (_mm_movemask_epi8(_mm_cmpeq_epi8(px, zero)) == 0xFFFF) {
    return opaque ? _mm_set1_epi32(static_cast<int>(0xFF000000u)) : zero;
  }
  if (premultiply && all_opaque(px)) premultiply = false;
  constexpr int kBgrToRgb = (3 << 6) | (0 << 4) | (1 << 2) | 2;
  __m128i lo = _mm_shufflehi_epi16(_mm_shufflelo_epi16(_mm_unpacklo_epi8(px, zero), kBgrToRgb), kBgrToRgb);
  __m128i hi = _mm_shufflehi_epi16(_mm_shufflelo_epi16(_mm_unpackhi_epi8(px, zero), kBgrToRgb), kBgrToRgb);
  if (premultiply) {
    lo = premultiply_two_pixels(lo);
    hi = premultiply_two_pixels(hi);
  }
  __m128i out = _mm_packus_epi16(lo, hi);
  if (opaque) out = _mm_or_si128(out, _mm_set1_epi32(static_cast<int>(0xFF000000u)));
  return out;
}

#endif

}  // namespace vel
