// The few types and functions of the Metal Shading Language that the preview
// shader uses, as plain C++, so that one shader text compiles both as the
// framework's source and as the code the CPU stand-in runs. Sampling follows
// the framework's sampler: normalised coordinates with texel centres at
// (i + 0.5) / size, bilinear within a level, linear between levels.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace metal {

struct float2 {
  float x = 0.0f;
  float y = 0.0f;
  constexpr float2() = default;
  constexpr float2(float x_, float y_) : x(x_), y(y_) {}
};

struct float4 {
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;
  float w = 0.0f;
  constexpr float4() = default;
  constexpr float4(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}
};

inline float floor(float v) { return std::floor(v); }
// Pure, as in the shading language (no errno there): a call on a draw-wide
// value is worked out once for the draw, not once per pixel.
[[gnu::const]] inline float fmod(float a, float b) { return std::fmod(a, b); }
[[gnu::const]] inline float exp2(float v) { return std::exp2(v); }
inline float clamp(float v, float lo, float hi) { return std::min(std::max(v, lo), hi); }
inline float min(float a, float b) { return std::min(a, b); }

// Sampler state: only the one combination the stand-in implements exists.
namespace address {
enum clamp_mode { clamp_to_edge };
}
namespace filter {
enum filter_mode { linear };
}
namespace mip_filter {
enum mip_mode { linear };
}

struct sampler {
  constexpr sampler(address::clamp_mode, filter::filter_mode, mip_filter::mip_mode) {}
};

// An explicit mip level for sample().
struct level {
  float lod;
  explicit constexpr level(float l) : lod(l) {}
};

// One level of an RGBA8 texture as the stand-in stores it.
struct TextureLevelView {
  const uint8_t* bytes = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
};

inline constexpr uint32_t kMaxSampledLevels = 15;

// The texture argument of a fragment function. `bgra` when the texture's
// bytes are in blue-green-red-alpha order; sample() answers (r, g, b, a).
template <class T>
class texture2d {
 public:
  texture2d() = default;
  // `reference`: sample with the one-channel-at-a-time form, which the
  // stand-in's faster form is tested against.
  texture2d(const TextureLevelView* levels, uint32_t level_count, bool bgra, bool reference = false)
      : levels_(levels), count_(level_count), bgra_(bgra), reference_(reference) {}

  [[gnu::always_inline]] float4 sample(sampler, float2 uv, level l) const {
    if (count_ == 0) return float4(0.0f, 0.0f, 0.0f, 0.0f);
    const float top = static_cast<float>(count_ - 1);
    const float lod = std::isnan(l.lod) ? 0.0f : std::min(std::max(l.lod, 0.0f), top);
    const uint32_t l0 = static_cast<uint32_t>(lod);
    const float t = lod - static_cast<float>(l0);
    if (reference_) {
      float4 a = reference_bilinear(levels_[l0], uv);
      if (t <= 0.0f || l0 + 1 >= count_) return a;
      float4 b = reference_bilinear(levels_[l0 + 1], uv);
      return float4(a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t, a.z + (b.z - a.z) * t, a.w + (b.w - a.w) * t);
    }
    lanes c = bilinear(levels_[l0], uv);
    if (t > 0.0f && l0 + 1 < count_) {
      const lanes b = bilinear(levels_[l0 + 1], uv);
      c = c + (b - c) * t;
    }
    // The texture's byte order is undone last: lanes never mix.
    if (bgra_) return float4(c[2], c[1], c[0], c[3]);
    return float4(c[0], c[1], c[2], c[3]);
  }

 private:
  // The four channels of a texel side by side: each lane does what the
  // scalar form did for its channel, in the same order, so the sums are
  // bit for bit those of one channel at a time.
  using lanes = float __attribute__((vector_size(16)));
  using bytes4 = uint8_t __attribute__((vector_size(4)));

  [[gnu::always_inline]] static lanes texel(const TextureLevelView& v, uint32_t x, uint32_t y) {
    const uint8_t* p = v.bytes + (static_cast<size_t>(y) * v.width + x) * 4;
    constexpr float k = 1.0f / 255.0f;
#ifdef __SSE2__
    int32_t word;
    std::memcpy(&word, p, 4);
    const __m128i zero = _mm_setzero_si128();
    const __m128i wide = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero), zero);
    return lanes(_mm_cvtepi32_ps(wide)) * k;
#else
    bytes4 b;
    std::memcpy(&b, p, 4);
    return __builtin_convertvector(b, lanes) * k;
#endif
  }

  // The integer coordinate of `f` (integral already) clamped to 0..hi,
  // without going through an integer that might not hold it (NaN: 0).
  static uint32_t clamp_coordinate(float f, uint32_t hi) {
    const float top = static_cast<float>(hi);  // exact: sides are at most 16384
    const float low = f > 0.0f ? f : 0.0f;
    return static_cast<uint32_t>(low < top ? low : top);
  }

  // In the texture's own byte order; a vector comes back in a register.
  [[gnu::always_inline]] static lanes bilinear(const TextureLevelView& v, float2 uv) {
#ifdef __SSE2__
    // Both axes at once, lane by lane the scalar form's operations. The
    // floor is exact for every input: the truncation, one lower where it
    // rounded up, the input itself where that is already whole (2^23 and
    // beyond, infinities) or not a number, and the sign of a zero kept.
    const __m128 sign = _mm_set1_ps(-0.0f), one = _mm_set1_ps(1.0f);
    const __m128 f = _mm_sub_ps(
        _mm_mul_ps(_mm_setr_ps(uv.x, uv.y, 0.0f, 0.0f),
                   _mm_setr_ps(static_cast<float>(v.width), static_cast<float>(v.height), 0.0f, 0.0f)),
        _mm_set1_ps(0.5f));
    const __m128 truncated = _mm_cvtepi32_ps(_mm_cvttps_epi32(f));
    const __m128 lowered = _mm_sub_ps(truncated, _mm_and_ps(_mm_cmpgt_ps(truncated, f), one));
    const __m128 small = _mm_cmplt_ps(_mm_andnot_ps(sign, f), _mm_set1_ps(8388608.0f));
    const __m128 whole = _mm_or_ps(_mm_or_ps(_mm_and_ps(small, lowered), _mm_andnot_ps(small, f)), _mm_and_ps(f, sign));
    const lanes weights = lanes(_mm_sub_ps(f, whole));
    const float ax = weights[0], ay = weights[1];
    // (x0, y0, x0 + 1, y0 + 1) clamped to the level: a NaN goes to 0.
    const __m128 corners = _mm_movelh_ps(whole, _mm_add_ps(whole, one));
    const __m128 top = _mm_setr_ps(static_cast<float>(v.width - 1), static_cast<float>(v.height - 1),
                                   static_cast<float>(v.width - 1), static_cast<float>(v.height - 1));
    alignas(16) int32_t at[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(at),
                    _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(corners, _mm_setzero_ps()), top)));
    const auto x0 = static_cast<uint32_t>(at[0]), y0 = static_cast<uint32_t>(at[1]);
    const auto x1 = static_cast<uint32_t>(at[2]), y1 = static_cast<uint32_t>(at[3]);
#else
    const float fx = uv.x * static_cast<float>(v.width) - 0.5f;
    const float fy = uv.y * static_cast<float>(v.height) - 0.5f;
    const float x0f = std::floor(fx);
    const float y0f = std::floor(fy);
    const float ax = fx - x0f;
    const float ay = fy - y0f;
    const uint32_t x0 = clamp_coordinate(x0f, v.width - 1), x1 = clamp_coordinate(x0f + 1.0f, v.width - 1);
    const uint32_t y0 = clamp_coordinate(y0f, v.height - 1), y1 = clamp_coordinate(y0f + 1.0f, v.height - 1);
#endif
    const lanes p00 = texel(v, x0, y0), p10 = texel(v, x1, y0), p01 = texel(v, x0, y1), p11 = texel(v, x1, y1);
    const lanes top_row = p00 + (p10 - p00) * ax;
    const lanes bottom_row = p01 + (p11 - p01) * ax;
    return top_row + (bottom_row - top_row) * ay;
  }

  // The reference: one channel at a time, as written first.
  float4 reference_texel(const TextureLevelView& v, uint32_t x, uint32_t y) const {
    const uint8_t* p = v.bytes + (static_cast<size_t>(y) * v.width + x) * 4;
    constexpr float k = 1.0f / 255.0f;
    if (bgra_) return float4(p[2] * k, p[1] * k, p[0] * k, p[3] * k);
    return float4(p[0] * k, p[1] * k, p[2] * k, p[3] * k);
  }

  [[gnu::noinline]] float4 reference_bilinear(const TextureLevelView& v, float2 uv) const {
    const float fx = uv.x * static_cast<float>(v.width) - 0.5f;
    const float fy = uv.y * static_cast<float>(v.height) - 0.5f;
    const float x0f = std::floor(fx);
    const float y0f = std::floor(fy);
    const float ax = fx - x0f;
    const float ay = fy - y0f;
    const int64_t maxx = static_cast<int64_t>(v.width) - 1;
    const int64_t maxy = static_cast<int64_t>(v.height) - 1;
    // Clamped as floats first: a coordinate beyond what an integer holds
    // goes to the nearer edge, as clamp-to-edge asks, not wherever an
    // out-of-range conversion happens to land.
    auto cx = [&](float f) { return clamp_coordinate(f, static_cast<uint32_t>(maxx)); };
    auto cy = [&](float f) { return clamp_coordinate(f, static_cast<uint32_t>(maxy)); };
    const uint32_t x0 = cx(x0f), x1 = cx(x0f + 1.0f), y0 = cy(y0f), y1 = cy(y0f + 1.0f);
    const float4 p00 = reference_texel(v, x0, y0), p10 = reference_texel(v, x1, y0), p01 = reference_texel(v, x0, y1),
                 p11 = reference_texel(v, x1, y1);
    auto mix2 = [&](float a, float b, float c, float d) {
      const float top_row = a + (b - a) * ax;
      const float bottom_row = c + (d - c) * ax;
      return top_row + (bottom_row - top_row) * ay;
    };
    return float4(mix2(p00.x, p10.x, p01.x, p11.x), mix2(p00.y, p10.y, p01.y, p11.y),
                  mix2(p00.z, p10.z, p01.z, p11.z), mix2(p00.w, p10.w, p01.w, p11.w));
  }

  const TextureLevelView* levels_ = nullptr;
  uint32_t count_ = 0;
  bool bgra_ = false;
  bool reference_ = false;
};

}  // namespace metal
