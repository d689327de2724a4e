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

#include "core/machine.h"

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
    constants_.colour[i] = colour[i];
  }
  constants_.opacity = opacity;
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

// Without gathers, the unclear channels are settled lane by lane from the
// blender's remembered results.
template <BlendKind>
VEL_LANES vi settle(vi out, vi p, const int unclear[4], const SpanConstants&, SpanBlender& owner) {
  alignas(16) uint8_t before[4 * kLanes], after[4 * kLanes];
  storeu(before, p);
  storeu(after, out);
  for (int ch = 0; ch < 3; ++ch) {
    const uint16_t* known = owner.known_channels(ch);
    for (unsigned lanes = static_cast<unsigned>(unclear[ch]); lanes != 0; lanes &= lanes - 1) {
      const int lane = __builtin_ctz(lanes);
      const uint8_t* was = before + 4 * lane;
      const uint16_t hit = known ? known[(size_t{was[3]} << 8) | was[ch]] : 0;
      after[4 * lane + ch] = hit ? static_cast<uint8_t>(hit - 1) : owner.exact_channel(ch, was[ch], was[3]);
    }
  }
  for (unsigned lanes = static_cast<unsigned>(unclear[3]); lanes != 0; lanes &= lanes - 1) {
    const int lane = __builtin_ctz(lanes);
    after[4 * lane + 3] = owner.exact_alpha(before[4 * lane + 3]);
  }
  return loadu(after);
}
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

// Every lane whose bit is set in `bits`, as a lane mask.
VEL_LANES vi lanes_of(int bits) {
  const vi bit = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
  return _mm256_cmpeq_epi32(_mm256_and_si256(iset1(bits), bit), bit);
}

// The byte at bit `Shift` of the lanes of `mask` replaced by `got`'s low byte.
template <int Shift>
VEL_LANES vi put_byte(vi out, vi got, vi mask) {
  const vi placed = ior(_mm256_andnot_si256(iset1(static_cast<int>(0xFFu << Shift)), out),
                        slli<Shift>(iand(got, iset1(0xFF))));
  return _mm256_blendv_epi8(out, placed, mask);
}

// The exact path of `composite_pixel` four lanes at a time in double
// precision: the same operations in the same order, none fused, so each
// lane's sum is the plain path's to the last bit and rounds as it does.
using vd = __m256d;
VEL_LANES vd dset1(double v) { return _mm256_set1_pd(v); }

// A value times 255 to a byte: nearest, halves away from zero, clamped.
VEL_LANES __m128i unit_bytes(vd r) {
  const vd scaled = _mm256_mul_pd(r, dset1(255.0));
  const vd whole = _mm256_round_pd(scaled, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  const vd up = _mm256_cmp_pd(_mm256_sub_pd(scaled, whole), dset1(0.5), _CMP_GE_OQ);
  const vd rounded = _mm256_add_pd(whole, _mm256_and_pd(up, dset1(1.0)));
  return _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(rounded, _mm256_setzero_pd()), dset1(255.0)));
}

// byte / 255, as the division gives it (a product by 1 / 255 is one
// ulp off for a tenth of the bytes, and a gather is slower).
VEL_LANES vd units(__m128i bytes) { return _mm256_div_pd(_mm256_cvtepi32_pd(bytes), dset1(255.0)); }

template <BlendKind K>
VEL_LANES vd kernel_of(vd b, vd s) {
  const vd one = dset1(1.0);
  if constexpr (K == BlendKind::Normal) {
    return s;
  } else if constexpr (K == BlendKind::Multiply) {
    return _mm256_mul_pd(b, s);
  } else if constexpr (K == BlendKind::Screen) {
    return _mm256_sub_pd(one, _mm256_mul_pd(_mm256_sub_pd(one, b), _mm256_sub_pd(one, s)));
  } else if constexpr (K == BlendKind::Overlay) {
    const vd two = dset1(2.0);
    const vd low = _mm256_mul_pd(_mm256_mul_pd(two, b), s);
    const vd high =
        _mm256_sub_pd(one, _mm256_mul_pd(_mm256_mul_pd(two, _mm256_sub_pd(one, b)), _mm256_sub_pd(one, s)));
    return _mm256_blendv_pd(high, low, _mm256_cmp_pd(b, dset1(0.5), _CMP_LT_OQ));
  } else if constexpr (K == BlendKind::Darken) {
    return _mm256_min_pd(b, s);
  } else if constexpr (K == BlendKind::Lighten) {
    return _mm256_max_pd(b, s);
  } else if constexpr (K == BlendKind::Difference) {
    return _mm256_andnot_pd(dset1(-0.0), _mm256_sub_pd(b, s));
  } else {
    return _mm256_min_pd(_mm256_add_pd(b, s), one);
  }
}

// One colour channel of four pixels (their channel and alpha bytes).
template <BlendKind K>
VEL_LANES __m128i exact_channel4(__m128i byte, __m128i alpha, double source, double opacity) {
  const vd one = dset1(1.0), s = dset1(source), a = dset1(opacity);
  const vd ab = units(alpha);
  const vd backdrop = units(byte);
  vd k = s;
  if constexpr (K != BlendKind::Normal) {
    // min(backdrop / ab, 1) where ab > 0, else 0 (the lanes of 0 / 0 too).
    const vd cb = _mm256_and_pd(_mm256_cmp_pd(ab, _mm256_setzero_pd(), _CMP_GT_OQ),
                                _mm256_min_pd(_mm256_div_pd(backdrop, ab), one));
    k = _mm256_min_pd(_mm256_max_pd(kernel_of<K>(cb, s), _mm256_setzero_pd()), one);
  }
  const vd mixed = _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(one, ab), s), _mm256_mul_pd(ab, k));
  return unit_bytes(_mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(one, a), backdrop), _mm256_mul_pd(a, mixed)));
}

VEL_LANES __m128i exact_alpha4(__m128i alpha, double opacity) {
  const vd a = dset1(opacity);
  return unit_bytes(_mm256_add_pd(a, _mm256_mul_pd(_mm256_sub_pd(dset1(1.0), a), units(alpha))));
}

VEL_LANES vi join(__m128i low, __m128i high) { return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1); }

template <BlendKind K, int Ch>
VEL_LANES vi settle_channel(vi out, vi p, int bits, const SpanConstants& c) {
  const vi byte = iand(srli<8 * Ch>(p), iset1(0xFF)), alpha = srli<24>(p);
  const __m128i low = exact_channel4<K>(_mm256_castsi256_si128(byte), _mm256_castsi256_si128(alpha),
                                        c.colour[Ch], c.opacity);
  const __m128i high = exact_channel4<K>(_mm256_extracti128_si256(byte, 1), _mm256_extracti128_si256(alpha, 1),
                                         c.colour[Ch], c.opacity);
  return put_byte<8 * Ch>(out, join(low, high), lanes_of(bits));
}

// The unclear channels of a group worked out by the exact path in the
// vector itself: no table, no lane by lane.
template <BlendKind K>
VEL_LANES vi settle(vi out, vi p, const int unclear[4], const SpanConstants& c, SpanBlender&) {
  if (unclear[0]) out = settle_channel<K, 0>(out, p, unclear[0], c);
  if (unclear[1]) out = settle_channel<K, 1>(out, p, unclear[1], c);
  if (unclear[2]) out = settle_channel<K, 2>(out, p, unclear[2], c);
  if (unclear[3]) {
    const vi alpha = srli<24>(p);
    const vi got = join(exact_alpha4(_mm256_castsi256_si128(alpha), c.opacity),
                        exact_alpha4(_mm256_extracti128_si256(alpha, 1), c.opacity));
    out = put_byte<24>(out, got, lanes_of(unclear[3]));
  }
  return out;
}
#include "raster/span_lanes.inc"
#undef VEL_LANES

}  // namespace lanes8
#endif

SpanKernel best_vector_kernel() {
  static const SpanKernel best = span_kernel_available(SpanKernel::Avx2)   ? SpanKernel::Avx2
                                 : span_kernel_available(SpanKernel::Sse2) ? SpanKernel::Sse2
                                                                           : SpanKernel::Plain;
  return best;
}

bool span_kernel_available(SpanKernel kernel) {
  switch (kernel) {
    case SpanKernel::Plain:
    case SpanKernel::Table:
      return true;
    case SpanKernel::Sse2:
#if defined(VEL_SPAN_SSE2)
      return true;
#else
      return false;
#endif
    case SpanKernel::Avx2:
#if defined(VEL_SPAN_AVX2)
      return cpu_has_avx2();
#else
      return false;
#endif
  }
  return false;
}

bool SpanBlender::make_table(SpanKernel by) {
  if (table_) return true;
  std::unique_ptr<BlendTable> made = BlendTable::identity();
  if (!made) return false;
  blend_with(by, made->pixels(), BlendTable::kEntries);
  table_ = std::move(made);
  return true;
}

void SpanBlender::blend_with(SpanKernel kernel, uint8_t* pixels, size_t count) {
  if (!span_kernel_available(kernel)) kernel = SpanKernel::Plain;
  if (kernel == SpanKernel::Table && vector_ && make_table(best_vector_kernel())) {
    table_->apply(pixels, count);
    return;
  }
  if (!vector_ || (kernel != SpanKernel::Sse2 && kernel != SpanKernel::Avx2)) {
    for (size_t i = 0; i < count; ++i) composite_pixel(opacity_, pixels + 4 * i, paint_, 0);
    return;
  }
  // What the whole groups leave is less than one group.
  const size_t done = blend_groups(kernel, pixels, count);
  if (done < count) blend_tail(kernel, pixels + 4 * done, count - done);
}

size_t SpanBlender::blend_groups(SpanKernel kernel, uint8_t* pixels, size_t count) {
  size_t unsure = 0;
  switch (kernel) {
    case SpanKernel::Plain:
    case SpanKernel::Table:
      break;
    case SpanKernel::Sse2:
#if defined(VEL_SPAN_SSE2)
    {
      const size_t done = lanes4::blend_lanes(kind_, pixels, count, constants_, *this, unsure);
      settled_pixels_ += lanes4::kLanes * unsure;
      return done;
    }
#endif
      break;
    case SpanKernel::Avx2:
#if defined(VEL_SPAN_AVX2)
    {
      const size_t done = lanes8::blend_lanes(kind_, pixels, count, constants_, *this, unsure);
      settled_pixels_ += lanes8::kLanes * unsure;
      return done;
    }
#endif
      break;
  }
  return 0;
}

// The pixels short of a whole group take one padded group: each lane's bytes
// are its own pixel's alone, and the plain path costs about as much per pixel
// as a whole group does. Kept out of line, off the way of whole rows.
__attribute__((noinline)) void SpanBlender::blend_tail(SpanKernel kernel, uint8_t* pixels, size_t count) {
  uint8_t group[4 * 8] = {};
  std::memcpy(group, pixels, 4 * count);
  blend_groups(kernel, group, kernel == SpanKernel::Avx2 ? 8 : 4);
  std::memcpy(pixels, group, 4 * count);
}

void SpanBlender::blend(uint8_t* pixels, size_t count) {
  const bool table = table_ || (settled_pixels_ >= kTableAfter && make_table(best_vector_kernel()));
  blend_with(table ? SpanKernel::Table : best_vector_kernel(), pixels, count);
}

}  // namespace vel
