#include "raster/span_blend.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#define VEL_SPAN_SSE2 1
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
// double path by far less. A sum further than kClear from a rounding
// boundary therefore rounds alike in both.
constexpr float kClear = 1.0f / 1024.0f;

}  // namespace

SpanBlender::SpanBlender(const SolidPaint& paint, double opacity) : paint_(paint), opacity_(opacity) {
  const auto kind = blend_kind_of(paint.kernel);
  const double colour[3] = {paint.red, paint.green, paint.blue};
  bool usable = kind.has_value() && opacity > 0.0 && opacity <= 1.0;  // false for NaN
  for (double c : colour) usable = usable && c >= 0.0 && c <= 1.0;
  if (!usable) return;
  kind_ = static_cast<uint8_t>(*kind);
  keep_ = static_cast<float>(1.0 - opacity);
  a_ = static_cast<float>(opacity);
  a255_ = static_cast<float>(255.0 * opacity);
  for (int i = 0; i < 3; ++i) {
    ch_[i] = {static_cast<float>(opacity * colour[i]), static_cast<float>(255.0 * opacity * colour[i]),
              static_cast<float>(opacity * (1.0 - colour[i]))};
  }
#if defined(VEL_SPAN_SSE2)
  vector_ = true;
#endif
}

void SpanBlender::blend_plain(uint8_t* pixels, size_t count) const {
  for (size_t i = 0; i < count; ++i) composite_pixel(opacity_, pixels + 4 * i, paint_, 0);
}

void SpanBlender::exact(uint8_t* pixel) {
  uint32_t in;
  std::memcpy(&in, pixel, 4);
  const size_t slot = static_cast<uint32_t>(in * 0x9E3779B1u) >> 28;
  if (memo_used_[slot] && memo_in_[slot] == in) {
    std::memcpy(pixel, &memo_out_[slot], 4);
    return;
  }
  composite_pixel(opacity_, pixel, paint_, 0);
  memo_in_[slot] = in;
  std::memcpy(&memo_out_[slot], pixel, 4);
  memo_used_[slot] = true;
}

#if defined(VEL_SPAN_SSE2)
namespace {

struct ChannelVec {
  __m128 as, as255, a1s;
};

struct Consts {
  __m128 keep, a, a255;
  ChannelVec ch[3];
};

// One colour channel of four pixels, before rounding: the sum described
// above, in the order written.
template <BlendKind K>
inline __m128 channel(__m128 b, __m128 alpha, const ChannelVec& c, const Consts& k) {
  const __m128 bp = _mm_min_ps(b, alpha);
  const __m128 kept = _mm_mul_ps(k.keep, b);
  const __m128 uncovered = _mm_sub_ps(_mm_set1_ps(255.0f), alpha);
  switch (K) {
    case BlendKind::Normal:
      return _mm_add_ps(kept, c.as255);
    case BlendKind::Multiply:
      return _mm_add_ps(kept, _mm_mul_ps(c.as, _mm_add_ps(uncovered, bp)));
    case BlendKind::Screen:
      return _mm_add_ps(_mm_add_ps(kept, c.as255), _mm_mul_ps(c.a1s, bp));
    case BlendKind::Overlay: {
      const __m128 twice = _mm_add_ps(bp, bp);
      const __m128 low = _mm_add_ps(kept, _mm_mul_ps(c.as, _mm_add_ps(uncovered, twice)));
      const __m128 high = _mm_add_ps(_mm_add_ps(kept, c.as255), _mm_mul_ps(c.a1s, _mm_sub_ps(twice, alpha)));
      const __m128 below = _mm_cmplt_ps(twice, alpha);
      return _mm_or_ps(_mm_and_ps(below, low), _mm_andnot_ps(below, high));
    }
    default:
      break;
  }
  const __m128 over = _mm_mul_ps(k.a, bp);
  const __m128 source = _mm_mul_ps(c.as, alpha);
  __m128 mixed;
  switch (K) {
    case BlendKind::Darken:
      mixed = _mm_min_ps(over, source);
      break;
    case BlendKind::Lighten:
      mixed = _mm_max_ps(over, source);
      break;
    case BlendKind::Difference:
      mixed = _mm_andnot_ps(_mm_set1_ps(-0.0f), _mm_sub_ps(over, source));
      break;
    default:  // add
      mixed = _mm_min_ps(_mm_add_ps(over, source), _mm_mul_ps(k.a, alpha));
      break;
  }
  return _mm_add_ps(_mm_add_ps(kept, _mm_mul_ps(c.as, uncovered)), mixed);
}

// Rounded halves up; lanes too near a boundary are marked in `unclear`
// (a NaN would be too).
inline __m128i round_clear(__m128 y, __m128& unclear) {
  const __m128 lifted = _mm_add_ps(y, _mm_set1_ps(0.5f));
  const __m128i n = _mm_cvttps_epi32(lifted);
  const __m128 frac = _mm_sub_ps(lifted, _mm_cvtepi32_ps(n));
  unclear = _mm_or_ps(unclear, _mm_or_ps(_mm_cmpnge_ps(frac, _mm_set1_ps(kClear)),
                                         _mm_cmpngt_ps(_mm_set1_ps(1.0f - kClear), frac)));
  return n;
}

// Four pixels at a time over the whole groups of `count`; the pixels left
// over are the caller's. Calls `exact` for every pixel it cannot settle.
template <BlendKind K, class Exact>
size_t blend_sse2(uint8_t* pixels, size_t count, const Consts& k, Exact&& exact) {
  const __m128i low_byte = _mm_set1_epi32(0xFF);
  const size_t groups = count / 4;
  for (size_t g = 0; g < groups; ++g) {
    uint8_t* at = pixels + 16 * g;
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128 alpha = _mm_cvtepi32_ps(_mm_srli_epi32(p, 24));
    __m128 unclear = _mm_setzero_ps();
    __m128i out = _mm_slli_epi32(round_clear(_mm_add_ps(_mm_mul_ps(k.keep, alpha), k.a255), unclear), 24);
    for (int ch = 0; ch < 3; ++ch) {
      const __m128 b = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(p, 8 * ch), low_byte));
      __m128i n = round_clear(channel<K>(b, alpha, k.ch[ch], k), unclear);
      if (ch == 1) n = _mm_slli_epi32(n, 8);
      if (ch == 2) n = _mm_slli_epi32(n, 16);
      out = _mm_or_si128(out, n);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), out);
    int lanes = _mm_movemask_ps(unclear);
    if (lanes == 0) continue;
    alignas(16) uint8_t before[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(before), p);
    for (int lane = 0; lanes != 0; ++lane, lanes >>= 1) {
      if (!(lanes & 1)) continue;
      std::memcpy(at + 4 * lane, before + 4 * lane, 4);
      exact(at + 4 * lane);
    }
  }
  return groups * 4;
}

}  // namespace
#endif

void SpanBlender::blend(uint8_t* pixels, size_t count) {
  size_t done = 0;
#if defined(VEL_SPAN_SSE2)
  if (vector_) {
    Consts k;
    k.keep = _mm_set1_ps(keep_);
    k.a = _mm_set1_ps(a_);
    k.a255 = _mm_set1_ps(a255_);
    for (int i = 0; i < 3; ++i) {
      k.ch[i] = {_mm_set1_ps(ch_[i].as), _mm_set1_ps(ch_[i].as255), _mm_set1_ps(ch_[i].a1s)};
    }
    auto fix = [this](uint8_t* pixel) { exact(pixel); };
    switch (static_cast<BlendKind>(kind_)) {
      case BlendKind::Normal: done = blend_sse2<BlendKind::Normal>(pixels, count, k, fix); break;
      case BlendKind::Multiply: done = blend_sse2<BlendKind::Multiply>(pixels, count, k, fix); break;
      case BlendKind::Screen: done = blend_sse2<BlendKind::Screen>(pixels, count, k, fix); break;
      case BlendKind::Overlay: done = blend_sse2<BlendKind::Overlay>(pixels, count, k, fix); break;
      case BlendKind::Darken: done = blend_sse2<BlendKind::Darken>(pixels, count, k, fix); break;
      case BlendKind::Lighten: done = blend_sse2<BlendKind::Lighten>(pixels, count, k, fix); break;
      case BlendKind::Difference: done = blend_sse2<BlendKind::Difference>(pixels, count, k, fix); break;
      case BlendKind::Add: done = blend_sse2<BlendKind::Add>(pixels, count, k, fix); break;
    }
  }
#endif
  for (size_t i = done; i < count; ++i) exact(pixels + 4 * i);
}

}  // namespace vel
