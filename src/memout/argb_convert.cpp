#include "memout/argb_convert.h"

#include "core/machine.h"
#include "memout/output_contract.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VEL_HAVE_AVX2_KERNEL 1
#endif

namespace vel {

namespace {

void row_scalar(const uint8_t* s, uint8_t* d, uint32_t width, bool premultiply) {
  for (uint32_t x = 0; x < width; ++x, s += 4, d += 4) {
    const uint8_t a = s[0];
    if (premultiply) {
      d[0] = premultiply_channel(s[1], a);
      d[1] = premultiply_channel(s[2], a);
      d[2] = premultiply_channel(s[3], a);
    } else {
      d[0] = s[1];
      d[1] = s[2];
      d[2] = s[3];
    }
    d[3] = a;
  }
}

#ifdef VEL_HAVE_AVX2_KERNEL

// Each 128-bit lane holds four ARGB pixels. The colour shuffles spread two
// of them into 16-bit lanes already in R, G, B, A order; the alpha shuffles
// build the matching multipliers (alpha, alpha, alpha and, OR-ed in, 255 for
// the alpha lane itself, which the rounding formula returns unchanged).
// packus then rejoins the halves in pixel order within each lane.
#define VEL_LANE_PAIR(...) __VA_ARGS__, __VA_ARGS__
#define VEL_AVX2 __attribute__((target("avx2"), always_inline)) inline

VEL_AVX2 __m256i scale_to_255(__m256i colour, __m256i multiplier) {
  const __m256i own_alpha = _mm256_setr_epi16(VEL_LANE_PAIR(0, 0, 0, 255, 0, 0, 0, 255));
  const __m256i half = _mm256_set1_epi16(128);
  __m256i t = _mm256_add_epi16(_mm256_mullo_epi16(colour, _mm256_or_si256(multiplier, own_alpha)), half);
  t = _mm256_add_epi16(t, _mm256_srli_epi16(t, 8));
  return _mm256_srli_epi16(t, 8);
}

VEL_AVX2 __m256i premultiply8(__m256i v) {
  const __m256i colour_lo = _mm256_setr_epi8(VEL_LANE_PAIR(1, -1, 2, -1, 3, -1, 0, -1, 5, -1, 6, -1, 7, -1, 4, -1));
  const __m256i colour_hi =
      _mm256_setr_epi8(VEL_LANE_PAIR(9, -1, 10, -1, 11, -1, 8, -1, 13, -1, 14, -1, 15, -1, 12, -1));
  const __m256i alpha_lo = _mm256_setr_epi8(VEL_LANE_PAIR(0, -1, 0, -1, 0, -1, -1, -1, 4, -1, 4, -1, 4, -1, -1, -1));
  const __m256i alpha_hi = _mm256_setr_epi8(VEL_LANE_PAIR(8, -1, 8, -1, 8, -1, -1, -1, 12, -1, 12, -1, 12, -1, -1, -1));
  const __m256i lo = scale_to_255(_mm256_shuffle_epi8(v, colour_lo), _mm256_shuffle_epi8(v, alpha_lo));
  const __m256i hi = scale_to_255(_mm256_shuffle_epi8(v, colour_hi), _mm256_shuffle_epi8(v, alpha_hi));
  return _mm256_packus_epi16(lo, hi);
}

VEL_AVX2 __m256i reorder8(__m256i v) {
  const __m256i rotate = _mm256_setr_epi8(VEL_LANE_PAIR(1, 2, 3, 0, 5, 6, 7, 4, 9, 10, 11, 8, 13, 14, 15, 12));
  return _mm256_shuffle_epi8(v, rotate);
}

template <bool kPremultiply>
VEL_AVX2 __m256i convert8(__m256i v) {
  if constexpr (kPremultiply) {
    return premultiply8(v);
  } else {
    return reorder8(v);
  }
}

template <bool kPremultiply>
__attribute__((target("avx2"))) void row_avx2(const uint8_t* s, uint8_t* d, uint32_t width) {
  uint32_t x = 0;
  for (; x + 16 <= width; x += 16, s += 64, d += 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), convert8<kPremultiply>(a));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 32), convert8<kPremultiply>(b));
  }
  if (x + 8 <= width) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), convert8<kPremultiply>(a));
    x += 8;
    s += 32;
    d += 32;
  }
  row_scalar(s, d, width - x, kPremultiply);
}
#undef VEL_AVX2
#undef VEL_LANE_PAIR

#endif

}  // namespace

bool convert_kernel_available(ConvertKernel kernel) {
  switch (kernel) {
    case ConvertKernel::Scalar:
      return true;
    case ConvertKernel::Avx2:
#ifdef VEL_HAVE_AVX2_KERNEL
      return cpu_has_avx2();
#else
      return false;
#endif
  }
  return false;
}

MemoutStatus convert_argb8_to_rgba8_with(ConvertKernel kernel, const uint8_t* src, uint64_t src_len, uint64_t row_bytes,
                                         uint32_t width, uint32_t height, uint8_t* dst, uint64_t dst_len,
                                         bool premultiply) {
  auto capacity = rgba8_capacity(width, height);
  if (!capacity) return Err<MemoutError>{capacity.error()};
  if (dst_len != *capacity) return memout_invalid("RGBA destination size mismatch");
  const uint64_t row_len = uint64_t{width} * 4;
  // The row checks grow with the row index, so the first failing row is
  // found before anything is written.
  for (uint64_t r = 0; r < height; ++r) {
    uint64_t offset = 0;
    uint64_t end = 0;
    if (__builtin_mul_overflow(r, row_bytes, &offset)) return memout_invalid("row offset overflow");
    if (__builtin_add_overflow(offset, row_len, &end)) return memout_invalid("row end overflow");
    if (end > src_len) return memout_invalid("ARGB row missing");
  }
  if (!convert_kernel_available(kernel)) kernel = ConvertKernel::Scalar;
  for (uint64_t r = 0; r < height; ++r) {
    const uint8_t* s = src + r * row_bytes;
    uint8_t* d = dst + r * row_len;
#ifdef VEL_HAVE_AVX2_KERNEL
    if (kernel == ConvertKernel::Avx2) {
      if (premultiply) {
        row_avx2<true>(s, d, width);
      } else {
        row_avx2<false>(s, d, width);
      }
      continue;
    }
#endif
    row_scalar(s, d, width, premultiply);
  }
  return ok_unit();
}

MemoutStatus convert_argb8_to_rgba8(const uint8_t* src, uint64_t src_len, uint64_t row_bytes, uint32_t width,
                                    uint32_t height, uint8_t* dst, uint64_t dst_len, bool premultiply) {
  return convert_argb8_to_rgba8_with(ConvertKernel::Avx2, src, src_len, row_bytes, width, height, dst, dst_len,
                                     premultiply);
}

}  // namespace vel
