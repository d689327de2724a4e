#include "pool/decode/rgba_decimation_simd.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vel::decimation_simd {

#if defined(__x86_64__)

namespace {

// All loops below advance by offsets from the rows' starts and only form
// an address once it is known to lie inside its row. A round of n output
// pixels loads whole vectors, up to pixel (c + n) × step - 1, past the last
// pixel it picks: rounds stop at `whole`, the output pixels whose vectors
// lie inside the row, and the plain tail picks the rest one by one (a row
// of 13 pixels reduced by 4 to 4 pixels must not read 3 pixels past its
// end). A hint at pixel c × step of `next` is inside it for c < count.

uint32_t whole_rounds_end(uint32_t row_pixels, uint64_t step, uint32_t count) {
  const uint64_t whole = row_pixels / step;
  return whole < count ? static_cast<uint32_t>(whole) : count;
}

void hint(const uint8_t* p) { _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0); }

void copy_pixels(const uint8_t* row, uint64_t stride, uint8_t* out, uint32_t from, uint32_t to) {
  for (uint32_t c = from; c < to; ++c) std::memcpy(out + uint64_t{c} * 4, row + c * stride, 4);
}

// How many plain pixels bring `out` to an `align`-byte boundary; `count`
// (all plain) for an `out` off the pixel grid, which never gets there.
uint32_t pixels_before_alignment(const uint8_t* out, uintptr_t align, uint32_t count) {
  const auto address = reinterpret_cast<uintptr_t>(out);
  if (address % 4 != 0) return count;
  const auto head = static_cast<uint32_t>((align - address % align) % align / 4);
  return head < count ? head : count;
}

__m128i load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

void stream(uint8_t* p, __m128i v) { _mm_stream_si128(reinterpret_cast<__m128i*>(p), v); }

// Pixels 0, 4, 8 and 12 of the 64 bytes at p: one cache line in, 16 bytes out.
__m128i every_4th(const uint8_t* p) {
  const __m128i ab = _mm_unpacklo_epi32(load(p), load(p + 16));
  const __m128i cd = _mm_unpacklo_epi32(load(p + 32), load(p + 48));
  return _mm_unpacklo_epi64(ab, cd);
}

// Pixels 0, 2, 4 and 6 of the 32 bytes at p.
__m128i every_2nd(const uint8_t* p) {
  const __m128 a = _mm_castsi128_ps(load(p)), b = _mm_castsi128_ps(load(p + 16));
  return _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
}

void copy_sse2(const uint8_t* row, const uint8_t* next, uint32_t row_pixels, uint64_t step, uint8_t* out,
               uint32_t count) {
  const uint64_t stride = step * 4;
  const uint32_t whole = whole_rounds_end(row_pixels, step, count);
  uint32_t c = pixels_before_alignment(out, 16, count);
  copy_pixels(row, stride, out, 0, c);
  if (step == 4) {
    // Four output pixels span one source line: one hint a round.
    for (; c + 4 <= whole; c += 4) {
      if (next != nullptr) hint(next + uint64_t{c} * 16);
      stream(out + uint64_t{c} * 4, every_4th(row + uint64_t{c} * 16));
    }
  } else {
    for (; c + 8 <= whole; c += 8) {
      if (next != nullptr) hint(next + uint64_t{c} * 8);
      stream(out + uint64_t{c} * 4, every_2nd(row + uint64_t{c} * 8));
      stream(out + uint64_t{c} * 4 + 16, every_2nd(row + uint64_t{c} * 8 + 32));
    }
  }
  copy_pixels(row, stride, out, c, count);
}

// Sixteen output pixels a round from whole-line loads: one permute for
// every two lines, a quarter of the instructions the 16-byte copier needs.
__attribute__((target("avx512f"))) void copy_avx512(const uint8_t* row, const uint8_t* next, uint32_t row_pixels,
                                                     uint64_t step, uint8_t* out, uint32_t count) {
  const uint64_t stride = step * 4;
  const uint32_t whole = whole_rounds_end(row_pixels, step, count);
  uint32_t c = pixels_before_alignment(out, 64, count);
  copy_pixels(row, stride, out, 0, c);
  if (step == 4) {
    // Pixels 0, 4, …, 28 of two 64-byte loads, in the low half for the
    // first pair of lines and in the high half for the second.
    const __m512i low = _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m512i high = _mm512_setr_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 8, 12, 16, 20, 24, 28);
    for (; c + 16 <= whole; c += 16) {
      const uint8_t* p = row + uint64_t{c} * 16;
      if (next != nullptr) {
        for (uint64_t line = 0; line < 4; ++line) hint(next + (uint64_t{c} + line * 4) * 16);
      }
      const __m512i lo = _mm512_permutex2var_epi32(_mm512_loadu_si512(p), low, _mm512_loadu_si512(p + 64));
      const __m512i hi = _mm512_permutex2var_epi32(_mm512_loadu_si512(p + 128), high, _mm512_loadu_si512(p + 192));
      const __m512i both = _mm512_mask_blend_epi32(0xFF00, lo, hi);
      _mm512_stream_si512(reinterpret_cast<__m512i*>(out + uint64_t{c} * 4), both);
    }
  } else {
    const __m512i every_2nd = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    for (; c + 16 <= whole; c += 16) {
      const uint8_t* p = row + uint64_t{c} * 8;
      if (next != nullptr) {
        hint(next + uint64_t{c} * 8);
        hint(next + (uint64_t{c} + 8) * 8);
      }
      const __m512i both = _mm512_permutex2var_epi32(_mm512_loadu_si512(p), every_2nd, _mm512_loadu_si512(p + 64));
      _mm512_stream_si512(reinterpret_cast<__m512i*>(out + uint64_t{c} * 4), both);
    }
  }
  copy_pixels(row, stride, out, c, count);
}

}  // namespace

bool available(RowCopier copier) {
  static const bool avx512 = __builtin_cpu_supports("avx512f");
  return copier == RowCopier::sse2 || (copier == RowCopier::avx512 && avx512);
}

bool copy_every_nth_pixel(RowCopier copier, const uint8_t* row, const uint8_t* next, uint32_t row_pixels,
                          uint64_t step, uint8_t* out, uint32_t count) {
  if ((step != 2 && step != 4) || !available(copier)) return false;
  if (copier == RowCopier::avx512) {
    copy_avx512(row, next, row_pixels, step, out, count);
  } else {
    copy_sse2(row, next, row_pixels, step, out, count);
  }
  return true;
}

void finish() { _mm_sfence(); }

#else

bool available(RowCopier) { return false; }

bool copy_every_nth_pixel(RowCopier, const uint8_t*, const uint8_t*, uint32_t, uint64_t, uint8_t*, uint32_t) {
  return false;
}

void finish() {}

#endif

}  // namespace vel::decimation_simd
