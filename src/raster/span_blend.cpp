#include "raster/span_blend.h"

#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#define VEL_SPAN_SSE2 1
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VEL_SPAN_AVX2 1
#endif

namespace vel {
namespace {

// With a the opacity, s a colour channel, b that channel's backdrop byte, A
// the backdrop's alpha byte and b' = min(b, A), `composite_pixel` works out
// (1 - a) b + a s (255 - A) + a A k(b' / A, s), times 1/255 on every term; A
// times each kernel is a sum of b', A and constants (multiply: b' s; screen:
// A s + b' (1 - s); overlay below the middle 2 b' s, else A - 2 (A - b')
// (1 - s); darken and lighten: the least and greatest of b' and A s;
// difference: |b' - A s|; add: the lesser of b' + A s and A). In single
// precision, with every term at most 510 and each product of a byte and a
// rounded constant, the sum errs by less than 1.5e-4 of a byte step; the
// double path by far less. A sum nearer its nearest integer than 0.5 - kClear
// therefore rounds to it in both.
[[maybe_unused]] constexpr float kClear = 1.0f / 2048.0f;

}  // namespace

SpanBlender::SpanBlender(const SolidPaint& paint, double opacity) : paint_(paint), opacity_(opacity) {
  const auto kind = blend_kind_of(paint.kernel);
  const double colour[3] = {paint.red, paint.green, paint.blue};
  bool usable = kind.has_value() && opacity > 0.0 && opacity <= 1.0;  // false for NaN
  for (double c : colour) usable = usable && c >= 0.0 && c <= 1.0;
  if (!usable) return;
  kind_ = *kind;
  constants_.keep = static_cast<float>(1.0 - opacity);
  constants_.a = static_cast<float>(opacity);
  constants_.a255 = static_cast<float>(255.0 * opacity);
  for (int i = 0; i < 3; ++i) {
    constants_.ch[i] = {static_cast<float>(opacity * colour[i]), static_cast<float>(255.0 * opacity * colour[i]),
                        static_cast<float>(opacity * (1.0 - colour[i]))};
  }
  vector_ = true;
}

uint8_t SpanBlender::exact_channel(int channel, uint8_t backdrop, uint8_t alpha) {
  const double source = channel == 0 ? paint_.red : channel == 1 ? paint_.green : paint_.blue;
  if (!by_channel_ && ++exact_count_ > kRememberAfter) {
    by_channel_.reset(new (std::nothrow) uint16_t[size_t{3} << 16]());
  }
  if (!by_channel_) return composite_channel(opacity_, backdrop, alpha, source, paint_.kernel);
  uint16_t& known = by_channel_[(size_t(channel) << 16) | (size_t{alpha} << 8) | backdrop];
  if (!known) known = static_cast<uint16_t>(1 + composite_channel(opacity_, backdrop, alpha, source, paint_.kernel));
  return static_cast<uint8_t>(known - 1);
}

uint8_t SpanBlender::exact_alpha(uint8_t alpha) {
  uint16_t& known = by_alpha_[alpha];
  if (!known) known = static_cast<uint16_t>(1 + composite_alpha(opacity_, alpha));
  return static_cast<uint8_t>(known - 1);
}

#if defined(VEL_SPAN_SSE2)
namespace lanes4 {

#define VEL_LANES inline
using vf = __m128;
using vi = __m128i;
constexpr size_t kLanes = 4;
VEL_LANES vf set1(float v) { return _mm_set1_ps(v); }
VEL_LANES vi iset1(int v) { return _mm_set1_epi32(v); }
VEL_LANES vf add(vf a, vf b) { return _mm_add_ps(a, b); }
VEL_LANES vf sub(vf a, vf b) { return _mm_sub_ps(a, b); }
VEL_LANES vf mul(vf a, vf b) { return _mm_mul_ps(a, b); }
VEL_LANES vf vmin(vf a, vf b) { return _mm_min_ps(a, b); }
VEL_LANES vf vmax(vf a, vf b) { return _mm_max_ps(a, b); }
VEL_LANES vf vabs(vf a) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), a); }
VEL_LANES vf cmplt(vf a, vf b) { return _mm_cmplt_ps(a, b); }
VEL_LANES vf cmpnlt(vf a, vf b) { return _mm_cmpnlt_ps(a, b); }
VEL_LANES vf select(vf mask, vf yes, vf no) { return _mm_or_ps(_mm_and_ps(mask, yes), _mm_andnot_ps(mask, no)); }
VEL_LANES vf to_float(vi v) { return _mm_cvtepi32_ps(v); }
VEL_LANES vi to_int_nearest(vf v) { return _mm_cvtps_epi32(v); }
VEL_LANES vi iand(vi a, vi b) { return _mm_and_si128(a, b); }
VEL_LANES vi ior(vi a, vi b) { return _mm_or_si128(a, b); }
template <int N>
VEL_LANES vi srli(vi v) { return _mm_srli_epi32(v, N); }
template <int N>
VEL_LANES vi slli(vi v) { return _mm_slli_epi32(v, N); }
VEL_LANES vi loadu(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
VEL_LANES void storeu(uint8_t* p, vi v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
VEL_LANES int movemask(vf v) { return _mm_movemask_ps(v); }
VEL_LANES bool all_equal(vi a, vi b) { return _mm_movemask_epi8(_mm_cmpeq_epi32(a, b)) == 0xFFFF; }
#include "raster/span_lanes.inc"
#undef VEL_LANES

}  // namespace lanes4
#endif

#if defined(VEL_SPAN_AVX2)
namespace lanes8 {

#define VEL_LANES __attribute__((target("avx2"))) inline
using vf = __m256;
using vi = __m256i;
constexpr size_t kLanes = 8;
VEL_LANES vf set1(float v) { return _mm256_set1_ps(v); }
VEL_LANES vi iset1(int v) { return _mm256_set1_epi32(v); }
VEL_LANES vf add(vf a, vf b) { return _mm256_add_ps(a, b); }
VEL_LANES vf sub(vf a, vf b) { return _mm256_sub_ps(a, b); }
VEL_LANES vf mul(vf a, vf b) { return _mm256_mul_ps(a, b); }
VEL_LANES vf vmin(vf a, vf b) { return _mm256_min_ps(a, b); }
VEL_LANES vf vmax(vf a, vf b) { return _mm256_max_ps(a, b); }
VEL_LANES vf vabs(vf a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
VEL_LANES vf cmplt(vf a, vf b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
VEL_LANES vf cmpnlt(vf a, vf b) { return _mm256_cmp_ps(a, b, _CMP_NLT_UQ); }
VEL_LANES vf select(vf mask, vf yes, vf no) { return _mm256_blendv_ps(no, yes, mask); }
VEL_LANES vf to_float(vi v) { return _mm256_cvtepi32_ps(v); }
VEL_LANES vi to_int_nearest(vf v) { return _mm256_cvtps_epi32(v); }
VEL_LANES vi iand(vi a, vi b) { return _mm256_and_si256(a, b); }
VEL_LANES vi ior(vi a, vi b) { return _mm256_or_si256(a, b); }
template <int N>
VEL_LANES vi srli(vi v) { return _mm256_srli_epi32(v, N); }
template <int N>
VEL_LANES vi slli(vi v) { return _mm256_slli_epi32(v, N); }
VEL_LANES vi loadu(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
VEL_LANES void storeu(uint8_t* p, vi v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
VEL_LANES int movemask(vf v) { return _mm256_movemask_ps(v); }
VEL_LANES bool all_equal(vi a, vi b) { return _mm256_movemask_epi8(_mm256_cmpeq_epi32(a, b)) == -1; }
#include "raster/span_lanes.inc"
#undef VEL_LANES

bool cpu_has_avx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}

}  // namespace lanes8
#endif

bool span_kernel_available(SpanKernel kernel) {
  switch (kernel) {
    case SpanKernel::Plain:
      return true;
    case SpanKernel::Sse2:
#if defined(VEL_SPAN_SSE2)
      return true;
#else
      return false;
#endif
    case SpanKernel::Avx2:
#if defined(VEL_SPAN_AVX2)
      return lanes8::cpu_has_avx2();
#else
      return false;
#endif
  }
  return false;
}

void SpanBlender::blend_with(SpanKernel kernel, uint8_t* pixels, size_t count) {
  if (!span_kernel_available(kernel)) kernel = SpanKernel::Plain;
  size_t done = 0;
  if (vector_) {
    switch (kernel) {
      case SpanKernel::Plain:
        break;
      case SpanKernel::Sse2:
#if defined(VEL_SPAN_SSE2)
        done = lanes4::blend_lanes(kind_, pixels, count, constants_, *this);
#endif
        break;
      case SpanKernel::Avx2:
#if defined(VEL_SPAN_AVX2)
        done = lanes8::blend_lanes(kind_, pixels, count, constants_, *this);
#endif
        break;
    }
  }
  if (kernel == SpanKernel::Plain) {
    for (size_t i = 0; i < count; ++i) composite_pixel(opacity_, pixels + 4 * i, paint_, 0);
    return;
  }
  for (size_t i = done; i < count; ++i) composite_pixel(opacity_, pixels + 4 * i, paint_, 0);
}

void SpanBlender::blend(uint8_t* pixels, size_t count) {
  static const SpanKernel best = span_kernel_available(SpanKernel::Avx2)   ? SpanKernel::Avx2
                                 : span_kernel_available(SpanKernel::Sse2) ? SpanKernel::Sse2
                                                                           : SpanKernel::Plain;
  blend_with(best, pixels, count);
}

}  // namespace vel
