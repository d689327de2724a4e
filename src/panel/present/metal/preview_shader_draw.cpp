// Four pixels at a time, or eight where the processor has AVX2: the
// per-pixel values the general path works out one by one (edge values,
// barycentrics, texture coordinates, tap positions and weights, checker
// cells) are computed across the group in vector lanes, the same operation
// per lane in the same order; the colours stay four channels to a pixel, as
// the general path's sampler keeps them, one pixel to a 128-bit vector or
// two to a 256-bit one. Only SSE2, or AVX2 for the wider form's own
// functions, is asked of the compiler, never FMA, so no multiply-add can be
// fused where the general path rounds twice.
#include "panel/present/metal/preview_shader_draw.h"

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/machine.h"
#include "panel/present/metal/preview_shader.h"
#include "platform/metal_raster.h"
#include "platform/metal_rows.h"

#ifdef __SSE2__
#include <immintrin.h>
#endif

namespace vel {

using preview_shader::Uniforms;
using preview_shader::VOut;

namespace {
constexpr auto kGeneral =
    &platform::rasterise_draw<VOut, Uniforms, &preview_shader::vn_vertex, &preview_shader::vn_fragment>;
}  // namespace

bool checker_parity_light(float s) {
  // Beyond 2^24 every float is even; infinities and NaN give a NaN remainder.
  if (!(std::fabs(s) < 16777216.0f)) return std::isfinite(s);
  const auto i = static_cast<int32_t>(s);
  if (static_cast<float>(i) != s) return std::fmod(s, 2.0f) < 1.0f;
  return i % 2 != 1;  // -1 and ±0 are below 1
}

void draw_preview_shader(const platform::DrawCall& call) {
  if (!draw_preview_shader_specialised(call)) kGeneral(call);
}

#ifndef __SSE2__
bool draw_preview_shader_specialised(const platform::DrawCall&, PreviewLanes) { return false; }
#else

namespace {

using platform::raster_detail::DrawInputs;
using Tri = platform::raster_detail::Triangle<sizeof(VOut) / sizeof(float)>;

// std::floor lane by lane: the truncation, one lower where it rounded up,
// the input itself where already whole (2^23 and beyond, infinities) or not
// a number, the sign of a zero kept.
inline __m128 floor_lanes(__m128 f) {
  const __m128 sign = _mm_set1_ps(-0.0f), one = _mm_set1_ps(1.0f);
  const __m128 truncated = _mm_cvtepi32_ps(_mm_cvttps_epi32(f));
  const __m128 lowered = _mm_sub_ps(truncated, _mm_and_ps(_mm_cmpgt_ps(truncated, f), one));
  const __m128 small = _mm_cmplt_ps(_mm_andnot_ps(sign, f), _mm_set1_ps(8388608.0f));
  return _mm_or_ps(_mm_or_ps(_mm_and_ps(small, lowered), _mm_andnot_ps(small, f)), _mm_and_ps(f, sign));
}

struct Level {
  const uint8_t* bytes = nullptr;
  size_t row_bytes = 0;
  __m128 width{}, height{};  // as floats
  __m128 top_x{}, top_y{};   // last column and row, as floats
};

// Where four pixels sample one level along one axis: the two neighbouring
// texels per pixel and the weight between them. A sharpening tap moved
// across keeps the centre's rows and one moved along keeps its columns (the
// same coordinate, the same operations), so each tap works out one axis.
struct Axis {
  // Room for the eight pixels of the 256-bit form.
  alignas(32) int32_t i0[8], i1[8];  // columns as byte offsets in a row, rows as row numbers
  alignas(32) float a[8];
};

template <bool Columns>
inline void find_axis(const Level& l, __m128 coord, Axis& t) {
  const __m128 half = _mm_set1_ps(0.5f), one = _mm_set1_ps(1.0f), zero = _mm_setzero_ps();
  const __m128 f = _mm_sub_ps(_mm_mul_ps(coord, Columns ? l.width : l.height), half);
  const __m128 w = floor_lanes(f);
  _mm_store_ps(t.a, _mm_sub_ps(f, w));
  // Clamped as floats first (a NaN goes to 0), then converted.
  const __m128 top = Columns ? l.top_x : l.top_y;
  __m128i i0 = _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(w, zero), top));
  __m128i i1 = _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(_mm_add_ps(w, one), zero), top));
  if constexpr (Columns) i0 = _mm_slli_epi32(i0, 2), i1 = _mm_slli_epi32(i1, 2);
  _mm_store_si128(reinterpret_cast<__m128i*>(t.i0), i0);
  _mm_store_si128(reinterpret_cast<__m128i*>(t.i1), i1);
}

inline __m128 texel(const uint8_t* p) {
  int32_t word;
  std::memcpy(&word, p, 4);
  const __m128i zero = _mm_setzero_si128();
  const __m128i wide = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero), zero);
  return _mm_mul_ps(_mm_cvtepi32_ps(wide), _mm_set1_ps(1.0f / 255.0f));
}

// Two neighbouring texels from one load, converted as texel() converts each.
inline void texel_pair(const uint8_t* p, __m128& left, __m128& right) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i shorts = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
  const __m128 k = _mm_set1_ps(1.0f / 255.0f);
  left = _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(shorts, zero)), k);
  right = _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(shorts, zero)), k);
}

// A row's two texels at columns c0 and c1 (byte offsets) blended by ax,
// as the first step of the bilinear sample.
[[gnu::always_inline]] inline __m128 across(const uint8_t* row, size_t c0, size_t c1, __m128 ax) {
  __m128 p0, p1;
  if (c1 == c0 + 4) {
    texel_pair(row + c0, p0, p1);
  } else {
    p0 = texel(row + c0), p1 = texel(row + c1);
  }
  return _mm_add_ps(p0, _mm_mul_ps(_mm_sub_ps(p1, p0), ax));
}

[[gnu::always_inline]] inline __m128 down(__m128 top, __m128 bottom, __m128 ay) {
  return _mm_add_ps(top, _mm_mul_ps(_mm_sub_ps(bottom, top), ay));
}

inline const uint8_t* row_of(const Level& l, int32_t y) { return l.bytes + static_cast<size_t>(y) * l.row_bytes; }

// One level's taps for four pixels: the centre's both axes, and with the
// sharpening the columns of the taps east and west and the rows of those
// south and north.
template <bool Sharpen>
struct LevelTaps {
  Axis x, y, east, west, south, north;

  void find(const Level& l, __m128 u, __m128 v, __m128 dx, __m128 dy) {
    find_axis<true>(l, u, x);
    find_axis<false>(l, v, y);
    if constexpr (Sharpen) {
      find_axis<true>(l, _mm_add_ps(u, dx), east);
      find_axis<true>(l, _mm_sub_ps(u, dx), west);
      find_axis<false>(l, _mm_add_ps(v, dy), south);
      find_axis<false>(l, _mm_sub_ps(v, dy), north);
    }
  }

  // Pixel j's centre sample, and with the sharpening its four neighbours
  // (east, west, south, north). A row
  // the centre has already blended across is not blended again: the same
  // texels and weight give the same value.
  [[gnu::always_inline]] __m128 at(const Level& l, int j, __m128 (&neighbours)[4]) const {
    const size_t c0 = static_cast<size_t>(x.i0[j]), c1 = static_cast<size_t>(x.i1[j]);
    const int32_t y0 = y.i0[j], y1 = y.i1[j];
    const __m128 ax = _mm_set1_ps(x.a[j]), ay = _mm_set1_ps(y.a[j]);
    const uint8_t* r0 = row_of(l, y0);
    const uint8_t* r1 = row_of(l, y1);
    const __m128 top = across(r0, c0, c1, ax), bottom = across(r1, c0, c1, ax);
    const __m128 centre = down(top, bottom, ay);
    if constexpr (Sharpen) {
      auto horizontal = [&](const Axis& a) {
        const __m128 w = _mm_set1_ps(a.a[j]);
        const size_t e0 = static_cast<size_t>(a.i0[j]), e1 = static_cast<size_t>(a.i1[j]);
        return down(across(r0, e0, e1, w), across(r1, e0, e1, w), ay);
      };
      auto vertical = [&](const Axis& a) {
        auto blended = [&](int32_t r) {
          if (r == y0) return top;
          if (r == y1) return bottom;
          return across(row_of(l, r), c0, c1, ax);
        };
        const __m128 t = blended(a.i0[j]);
        return down(t, blended(a.i1[j]), _mm_set1_ps(a.a[j]));
      };
      neighbours[0] = horizontal(east), neighbours[1] = horizontal(west);
      neighbours[2] = vertical(south), neighbours[3] = vertical(north);
    }
    return centre;
  }
};

// The draw, set up once.
struct Plan {
  uint8_t* target = nullptr;
  int64_t target_width = 0;
  Tri tri;
  Level levels[2];
  __m128 lod_weight{};  // between the two levels
  Uniforms u{};
  float offset_x = 0.0f, offset_y = 0.0f;  // the sharpening's taps
  std::vector<float> px;                    // pixel centres of the bounds' columns, a multiple of four long
  std::vector<float> edge_x[3];             // each edge's a·x over those columns
  std::atomic<bool> outside{false};         // some pixel lies outside the triangle
};

// (c.rgb, 1) stored as unorm8 in the target's order, as store_pixel_lanes does.
template <bool Swap>
inline void store(uint8_t* p, __m128 c) {
  if constexpr (Swap) c = _mm_shuffle_ps(c, c, _MM_SHUFFLE(3, 0, 1, 2));
  const __m128 alpha_lane = _mm_castsi128_ps(_mm_setr_epi32(0, 0, 0, -1));
  const __m128 v = _mm_or_ps(_mm_andnot_ps(alpha_lane, c), _mm_and_ps(alpha_lane, _mm_set1_ps(1.0f)));
  const __m128i scaled = _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(v, _mm_set1_ps(255.0f)), _mm_set1_ps(0.5f)));
  const __m128i positive = _mm_castps_si128(_mm_cmpgt_ps(v, _mm_setzero_ps()));
  const __m128i full = _mm_castps_si128(_mm_cmpge_ps(v, _mm_set1_ps(1.0f)));
  __m128i q = _mm_and_si128(scaled, positive);
  q = _mm_or_si128(_mm_andnot_si128(full, q), _mm_and_si128(full, _mm_set1_epi32(255)));
  q = _mm_packus_epi16(_mm_packs_epi32(q, q), q);
  const int32_t word = _mm_cvtsi128_si32(q);
  std::memcpy(p, &word, 4);
}

// Two pixels to a 256-bit vector, each half the four-pixel form's vector
// for its pixel: the same operations lane by lane. Only AVX2 itself is
// asked of the compiler, never FMA, so no multiply-add is fused.
#define VEL_WIDE [[gnu::target("avx2"), gnu::always_inline]] inline

// [a[j] four times | a[j + 1] four times].
VEL_WIDE __m256 spread(const float* a, int j) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_set1_ps(a[j])), _mm_set1_ps(a[j + 1]), 1);
}

VEL_WIDE int32_t word_at(const uint8_t* p) {
  int32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// across() for two pixels: pixel j's row rj at columns c0j and c1j, pixel
// k's row rk at c0k and c1k.
VEL_WIDE __m256 across2(const uint8_t* rj, const uint8_t* rk, const Axis& x, int j, __m256 ax) {
  const int k = j + 1;
  const __m128i v = _mm_setr_epi32(word_at(rj + x.i0[j]), word_at(rk + x.i0[k]), word_at(rj + x.i1[j]),
                                   word_at(rk + x.i1[k]));
  const __m256 scale = _mm256_set1_ps(1.0f / 255.0f);
  const __m256 p0 = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(v)), scale);
  const __m256 p1 = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_unpackhi_epi64(v, v))), scale);
  return _mm256_add_ps(p0, _mm256_mul_ps(_mm256_sub_ps(p1, p0), ax));
}

VEL_WIDE __m256 down2(__m256 top, __m256 bottom, __m256 ay) {
  return _mm256_add_ps(top, _mm256_mul_ps(_mm256_sub_ps(bottom, top), ay));
}

VEL_WIDE __m256 lerp2(__m256 a, __m256 b, __m256 t) { return _mm256_add_ps(a, _mm256_mul_ps(_mm256_sub_ps(b, a), t)); }

// A neighbour above or below for two pixels: a row the centre has blended
// across in both pixels is taken from the centre.
VEL_WIDE __m256 row_pair(const Level& l, const Axis& x, const Axis& y, const int32_t* rows, int j, __m256 ax,
                         __m256 top, __m256 bottom) {
  const int k = j + 1;
  if (rows[j] == y.i0[j] && rows[k] == y.i0[k]) return top;
  if (rows[j] == y.i1[j] && rows[k] == y.i1[k]) return bottom;
  return across2(row_of(l, rows[j]), row_of(l, rows[k]), x, j, ax);
}

template <bool Sharpen>
VEL_WIDE __m256 level_pair(const Level& l, const LevelTaps<Sharpen>& t, int j, __m256 (&neighbours)[4]) {
  const int k = j + 1;
  const uint8_t* rj0 = row_of(l, t.y.i0[j]);
  const uint8_t* rj1 = row_of(l, t.y.i1[j]);
  const uint8_t* rk0 = row_of(l, t.y.i0[k]);
  const uint8_t* rk1 = row_of(l, t.y.i1[k]);
  const __m256 ax = spread(t.x.a, j), ay = spread(t.y.a, j);
  const __m256 top = across2(rj0, rk0, t.x, j, ax), bottom = across2(rj1, rk1, t.x, j, ax);
  if constexpr (Sharpen) {
    const __m256 we = spread(t.east.a, j), ww = spread(t.west.a, j);
    neighbours[0] = down2(across2(rj0, rk0, t.east, j, we), across2(rj1, rk1, t.east, j, we), ay);
    neighbours[1] = down2(across2(rj0, rk0, t.west, j, ww), across2(rj1, rk1, t.west, j, ww), ay);
    neighbours[2] = down2(row_pair(l, t.x, t.y, t.south.i0, j, ax, top, bottom),
                          row_pair(l, t.x, t.y, t.south.i1, j, ax, top, bottom), spread(t.south.a, j));
    neighbours[3] = down2(row_pair(l, t.x, t.y, t.north.i0, j, ax, top, bottom),
                          row_pair(l, t.x, t.y, t.north.i1, j, ax, top, bottom), spread(t.north.a, j));
  }
  return down2(top, bottom, ay);
}

// store() for two pixels; the second only when `both`.
template <bool Swap>
VEL_WIDE void store2(uint8_t* p, __m256 c, bool both) {
  if constexpr (Swap) c = _mm256_shuffle_ps(c, c, _MM_SHUFFLE(3, 0, 1, 2));
  const __m256 alpha_lane = _mm256_castsi256_ps(_mm256_setr_epi32(0, 0, 0, -1, 0, 0, 0, -1));
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 v = _mm256_or_ps(_mm256_andnot_ps(alpha_lane, c), _mm256_and_ps(alpha_lane, one));
  const __m256i scaled =
      _mm256_cvttps_epi32(_mm256_add_ps(_mm256_mul_ps(v, _mm256_set1_ps(255.0f)), _mm256_set1_ps(0.5f)));
  const __m256i positive = _mm256_castps_si256(_mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GT_OQ));
  const __m256i full = _mm256_castps_si256(_mm256_cmp_ps(v, one, _CMP_GE_OQ));
  __m256i q = _mm256_and_si256(scaled, positive);
  q = _mm256_or_si256(_mm256_andnot_si256(full, q), _mm256_and_si256(full, _mm256_set1_epi32(255)));
  const __m128i shorts = _mm_packs_epi32(_mm256_castsi256_si128(q), _mm256_extracti128_si256(q, 1));
  const __m128i bytes = _mm_packus_epi16(shorts, shorts);
  if (both) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), bytes);
  } else {
    const int32_t word = _mm_cvtsi128_si32(bytes);
    std::memcpy(p, &word, 4);
  }
}

// The per-pixel work two pixels at a time, for the n pixels of a group
// starting at `out`.
template <bool Blend, bool Sharpen, bool Checker, bool Swap>
VEL_WIDE void shade_pairs(const Plan& plan, const LevelTaps<Sharpen> (&taps)[2],
                                                      const float* cell_sum, uint8_t* out, int n) {
  const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
  const __m256 alpha_lane = _mm256_castsi256_ps(_mm256_setr_epi32(0, 0, 0, -1, 0, 0, 0, -1));
  for (int j = 0; j < n; j += 2) {
    __m256 nb[4];
    __m256 c = level_pair<Sharpen>(plan.levels[0], taps[0], j, nb);
    if constexpr (Blend) {
      const __m256 t = _mm256_set1_ps(_mm_cvtss_f32(plan.lod_weight));
      __m256 nb1[4];
      c = lerp2(c, level_pair<Sharpen>(plan.levels[1], taps[1], j, nb1), t);
      if constexpr (Sharpen) {
        for (int k = 0; k < 4; ++k) nb[k] = lerp2(nb[k], nb1[k], t);
      }
    }
    if constexpr (Sharpen) {
      const __m256 sum = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(nb[0], nb[1]), nb[2]), nb[3]);
      const __m256 k = _mm256_set1_ps(plan.u.sharpen / 4.0f);
      const __m256 sharp =
          _mm256_add_ps(c, _mm256_mul_ps(_mm256_sub_ps(_mm256_mul_ps(_mm256_set1_ps(4.0f), c), sum), k));
      const __m256 clamped = _mm256_min_ps(one, _mm256_max_ps(zero, sharp));
      c = _mm256_or_ps(_mm256_andnot_ps(alpha_lane, clamped), _mm256_and_ps(alpha_lane, c));
    }
    if constexpr (Checker) {
      alignas(32) float lanes[8];
      _mm256_store_ps(lanes, c);
      const float alpha[2] = {lanes[3], lanes[7]};
      if (alpha[0] < 1.0f || alpha[1] < 1.0f) {
        alignas(16) float under[2] = {0.0f, 0.0f};
        alignas(16) int32_t under_mask[2] = {0, 0};
        for (int h = 0; h < 2; ++h) {
          if (!(alpha[h] < 1.0f)) continue;
          const float g = checker_parity_light(cell_sum[j + h]) ? 153.0f / 255.0f : 102.0f / 255.0f;
          under[h] = g * (1.0f - alpha[h]);
          under_mask[h] = -1;
        }
        const __m256 covered = _mm256_min_ps(one, _mm256_add_ps(c, spread(under, 0)));
        const __m256 mask = _mm256_castsi256_ps(_mm256_setr_epi32(under_mask[0], under_mask[0], under_mask[0],
                                                                   under_mask[0], under_mask[1], under_mask[1],
                                                                   under_mask[1], under_mask[1]));
        c = _mm256_blendv_ps(c, covered, mask);
      }
    }
    store2<Swap>(out + static_cast<size_t>(j) * 4, c, j + 1 < n);
  }
}

// find_axis() for eight pixels. The rounding down is the processor's own,
// exact for every input as floor_lanes() is.
template <bool Columns>
VEL_WIDE void find_axis8(const Level& l, __m256 coord, Axis& t) {
  const __m256 half = _mm256_set1_ps(0.5f), one = _mm256_set1_ps(1.0f), zero = _mm256_setzero_ps();
  const __m256 size = _mm256_set1_ps(_mm_cvtss_f32(Columns ? l.width : l.height));
  const __m256 top = _mm256_set1_ps(_mm_cvtss_f32(Columns ? l.top_x : l.top_y));
  const __m256 f = _mm256_sub_ps(_mm256_mul_ps(coord, size), half);
  const __m256 w = _mm256_round_ps(f, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  _mm256_store_ps(t.a, _mm256_sub_ps(f, w));
  __m256i i0 = _mm256_cvttps_epi32(_mm256_min_ps(_mm256_max_ps(w, zero), top));
  __m256i i1 = _mm256_cvttps_epi32(_mm256_min_ps(_mm256_max_ps(_mm256_add_ps(w, one), zero), top));
  if constexpr (Columns) i0 = _mm256_slli_epi32(i0, 2), i1 = _mm256_slli_epi32(i1, 2);
  _mm256_store_si256(reinterpret_cast<__m256i*>(t.i0), i0);
  _mm256_store_si256(reinterpret_cast<__m256i*>(t.i1), i1);
}

template <bool Sharpen>
VEL_WIDE void find_taps8(const Level& l, __m256 u, __m256 v, __m256 dx, __m256 dy, LevelTaps<Sharpen>& t) {
  find_axis8<true>(l, u, t.x);
  find_axis8<false>(l, v, t.y);
  if constexpr (Sharpen) {
    find_axis8<true>(l, _mm256_add_ps(u, dx), t.east);
    find_axis8<true>(l, _mm256_sub_ps(u, dx), t.west);
    find_axis8<false>(l, _mm256_add_ps(v, dy), t.south);
    find_axis8<false>(l, _mm256_sub_ps(v, dy), t.north);
  }
}

VEL_WIDE __m256 attribute8(const Tri& t, size_t k, __m256 b0, __m256 b1, __m256 b2, __m256 norm) {
  const __m256 s = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(t.attrs[0][k]), b0),
                                               _mm256_mul_ps(_mm256_set1_ps(t.attrs[1][k]), b1)),
                                 _mm256_mul_ps(_mm256_set1_ps(t.attrs[2][k]), b2));
  return _mm256_mul_ps(s, norm);
}

// shade_band() eight pixels to a group: the same values, lane by lane.
template <bool Blend, bool Sharpen, bool Checker, bool Swap>
[[gnu::target("avx2")]] void shade_band_wide(Plan& plan, int64_t ya, int64_t yb) {
  const Tri& t = plan.tri;
  const Uniforms& u = plan.u;
  const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
  const __m256 inv_area = _mm256_set1_ps(t.inv_area);
  const __m256 inv_w[3] = {_mm256_set1_ps(t.s[0].inv_w), _mm256_set1_ps(t.s[1].inv_w), _mm256_set1_ps(t.s[2].inv_w)};
  const platform::raster_detail::Edge* edges[3] = {&t.e0, &t.e1, &t.e2};
  const __m256 dx = _mm256_set1_ps(plan.offset_x), dy = _mm256_set1_ps(plan.offset_y);
  const int64_t width = t.x1 - t.x0;
  for (int64_t y = ya; y < yb; ++y) {
    if (plan.outside.load(std::memory_order_relaxed)) return;
    const float py = static_cast<float>(y) + 0.5f;
    uint8_t* row = plan.target + (static_cast<size_t>(y) * static_cast<size_t>(plan.target_width) +
                                  static_cast<size_t>(t.x0)) * 4;
    __m256 edge_y[3], edge_c[3], on_edge[3];
    for (int e = 0; e < 3; ++e) {
      edge_y[e] = _mm256_set1_ps(edges[e]->b * py);
      edge_c[e] = _mm256_set1_ps(edges[e]->c);
      on_edge[e] = edges[e]->top_left ? _mm256_castsi256_ps(_mm256_set1_epi32(-1)) : zero;
    }
    for (int64_t x = 0; x < width; x += 8) {
      const auto i = static_cast<size_t>(x);
      __m256 w[3];
      int covered = 0xFF;
      for (int e = 0; e < 3; ++e) {
        w[e] = _mm256_add_ps(_mm256_add_ps(_mm256_loadu_ps(plan.edge_x[e].data() + i), edge_y[e]), edge_c[e]);
        const __m256 in = _mm256_or_ps(_mm256_cmp_ps(w[e], zero, _CMP_GT_OQ),
                                       _mm256_and_ps(_mm256_cmp_ps(w[e], zero, _CMP_EQ_OQ), on_edge[e]));
        covered &= _mm256_movemask_ps(in);
      }
      const int n = static_cast<int>(std::min<int64_t>(8, width - x));
      if ((covered & ((1 << n) - 1)) != (1 << n) - 1) {
        plan.outside.store(true, std::memory_order_relaxed);
        return;
      }
      const __m256 b0 = _mm256_mul_ps(_mm256_mul_ps(w[0], inv_area), inv_w[0]);
      const __m256 b1 = _mm256_mul_ps(_mm256_mul_ps(w[1], inv_area), inv_w[1]);
      const __m256 b2 = _mm256_mul_ps(_mm256_mul_ps(w[2], inv_area), inv_w[2]);
      const __m256 norm = _mm256_div_ps(one, _mm256_add_ps(_mm256_add_ps(b0, b1), b2));
      constexpr size_t kU = offsetof(VOut, uv) / sizeof(float);
      const __m256 uu = attribute8(t, kU, b0, b1, b2, norm), vv = attribute8(t, kU + 1, b0, b1, b2, norm);

      LevelTaps<Sharpen> taps[2];
      find_taps8<Sharpen>(plan.levels[0], uu, vv, dx, dy, taps[0]);
      if constexpr (Blend) find_taps8<Sharpen>(plan.levels[1], uu, vv, dx, dy, taps[1]);
      alignas(32) float cell_sum[8];
      if constexpr (Checker) {
        const __m256 cell = _mm256_set1_ps(u.cell);
        const __m256 cx = _mm256_round_ps(_mm256_div_ps(_mm256_mul_ps(uu, _mm256_set1_ps(u.out_px.x)), cell),
                                          _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        const __m256 cy = _mm256_round_ps(_mm256_div_ps(_mm256_mul_ps(vv, _mm256_set1_ps(u.out_px.y)), cell),
                                          _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        _mm256_store_ps(cell_sum, _mm256_add_ps(cx, cy));
      }
      shade_pairs<Blend, Sharpen, Checker, Swap>(plan, taps, cell_sum, row + i * 4, n);
    }
  }
}

#undef VEL_WIDE

template <bool Blend, bool Sharpen, bool Checker, bool Swap>
void shade_band(Plan& plan, int64_t ya, int64_t yb) {
  const Tri& t = plan.tri;
  const Uniforms& u = plan.u;
  const Level* levels = plan.levels;
  const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
  const __m128 inv_area = _mm_set1_ps(t.inv_area);
  const __m128 inv_w0 = _mm_set1_ps(t.s[0].inv_w), inv_w1 = _mm_set1_ps(t.s[1].inv_w), inv_w2 = _mm_set1_ps(t.s[2].inv_w);
  const platform::raster_detail::Edge* edges[3] = {&t.e0, &t.e1, &t.e2};
  const int64_t width = t.x1 - t.x0;
  for (int64_t y = ya; y < yb; ++y) {
    if (plan.outside.load(std::memory_order_relaxed)) return;
    const float py = static_cast<float>(y) + 0.5f;
    uint8_t* row = plan.target + (static_cast<size_t>(y) * static_cast<size_t>(plan.target_width) +
                                  static_cast<size_t>(t.x0)) * 4;
    __m128 edge_y[3], edge_c[3], on_edge[3];
    for (int e = 0; e < 3; ++e) {
      edge_y[e] = _mm_set1_ps(edges[e]->b * py);
      edge_c[e] = _mm_set1_ps(edges[e]->c);
      on_edge[e] = edges[e]->top_left ? _mm_castsi128_ps(_mm_set1_epi32(-1)) : zero;
    }
    for (int64_t x = 0; x < width; x += 4) {
      const auto i = static_cast<size_t>(x);
      __m128 w[3];
      int covered = 0xF;
      for (int e = 0; e < 3; ++e) {
        w[e] = _mm_add_ps(_mm_add_ps(_mm_loadu_ps(plan.edge_x[e].data() + i), edge_y[e]), edge_c[e]);
        const __m128 in = _mm_or_ps(_mm_cmpgt_ps(w[e], zero), _mm_and_ps(_mm_cmpeq_ps(w[e], zero), on_edge[e]));
        covered &= _mm_movemask_ps(in);
      }
      const int64_t n = std::min<int64_t>(4, width - x);
      if ((covered & ((1 << n) - 1)) != (1 << n) - 1) {
        plan.outside.store(true, std::memory_order_relaxed);
        return;
      }
      const __m128 b0 = _mm_mul_ps(_mm_mul_ps(w[0], inv_area), inv_w0);
      const __m128 b1 = _mm_mul_ps(_mm_mul_ps(w[1], inv_area), inv_w1);
      const __m128 b2 = _mm_mul_ps(_mm_mul_ps(w[2], inv_area), inv_w2);
      const __m128 norm = _mm_div_ps(one, _mm_add_ps(_mm_add_ps(b0, b1), b2));
      auto attribute = [&](size_t k) {
        const __m128 s = _mm_add_ps(
            _mm_add_ps(_mm_mul_ps(_mm_set1_ps(t.attrs[0][k]), b0), _mm_mul_ps(_mm_set1_ps(t.attrs[1][k]), b1)),
            _mm_mul_ps(_mm_set1_ps(t.attrs[2][k]), b2));
        return _mm_mul_ps(s, norm);
      };
      constexpr size_t kU = offsetof(VOut, uv) / sizeof(float);
      const __m128 uu = attribute(kU), vv = attribute(kU + 1);

      LevelTaps<Sharpen> taps[2];
      const __m128 dx = _mm_set1_ps(plan.offset_x), dy = _mm_set1_ps(plan.offset_y);
      taps[0].find(levels[0], uu, vv, dx, dy);
      if constexpr (Blend) taps[1].find(levels[1], uu, vv, dx, dy);
      alignas(16) float cell_sum[4];
      if constexpr (Checker) {
        const __m128 cell = _mm_set1_ps(u.cell);
        const __m128 cx = floor_lanes(_mm_div_ps(_mm_mul_ps(uu, _mm_set1_ps(u.out_px.x)), cell));
        const __m128 cy = floor_lanes(_mm_div_ps(_mm_mul_ps(vv, _mm_set1_ps(u.out_px.y)), cell));
        _mm_store_ps(cell_sum, _mm_add_ps(cx, cy));
      }
      for (int j = 0; j < n; ++j) {
        __m128 nb[4];
        __m128 c = taps[0].at(levels[0], j, nb);
        if constexpr (Blend) {
          // Each sample blends the two levels before the neighbours are summed.
          auto blend = [&](__m128 a, __m128 b) { return _mm_add_ps(a, _mm_mul_ps(_mm_sub_ps(b, a), plan.lod_weight)); };
          __m128 nb1[4];
          c = blend(c, taps[1].at(levels[1], j, nb1));
          if constexpr (Sharpen) {
            for (int k = 0; k < 4; ++k) nb[k] = blend(nb[k], nb1[k]);
          }
        }
        if constexpr (Sharpen) {
          const __m128 sum = _mm_add_ps(_mm_add_ps(_mm_add_ps(nb[0], nb[1]), nb[2]), nb[3]);
          const __m128 k = _mm_set1_ps(u.sharpen / 4.0f);
          const __m128 sharp = _mm_add_ps(c, _mm_mul_ps(_mm_sub_ps(_mm_mul_ps(_mm_set1_ps(4.0f), c), sum), k));
          const __m128 clamped = _mm_min_ps(one, _mm_max_ps(zero, sharp));
          const __m128 alpha_lane = _mm_castsi128_ps(_mm_setr_epi32(0, 0, 0, -1));
          c = _mm_or_ps(_mm_andnot_ps(alpha_lane, clamped), _mm_and_ps(alpha_lane, c));
        }
        if constexpr (Checker) {
          const float alpha = _mm_cvtss_f32(_mm_shuffle_ps(c, c, _MM_SHUFFLE(3, 3, 3, 3)));
          if (alpha < 1.0f) {
            const float g = checker_parity_light(cell_sum[j]) ? 153.0f / 255.0f : 102.0f / 255.0f;
            const float under = g * (1.0f - alpha);
            c = _mm_min_ps(one, _mm_add_ps(c, _mm_set1_ps(under)));
          }
        }
        store<Swap>(row + (i + static_cast<size_t>(j)) * 4, c);
      }
    }
  }
}

using Band = void (*)(Plan&, int64_t, int64_t);

template <bool Blend, bool Sharpen, bool Checker, bool Swap>
Band pick_wide(bool wide) {
  return wide ? &shade_band_wide<Blend, Sharpen, Checker, Swap> : &shade_band<Blend, Sharpen, Checker, Swap>;
}
template <bool Blend, bool Sharpen, bool Checker>
Band pick_swap(bool swap, bool wide) {
  return swap ? pick_wide<Blend, Sharpen, Checker, true>(wide) : pick_wide<Blend, Sharpen, Checker, false>(wide);
}
template <bool Blend, bool Sharpen>
Band pick_checker(bool checker, bool swap, bool wide) {
  return checker ? pick_swap<Blend, Sharpen, true>(swap, wide) : pick_swap<Blend, Sharpen, false>(swap, wide);
}
template <bool Blend>
Band pick_sharpen(bool sharpen, bool checker, bool swap, bool wide) {
  return sharpen ? pick_checker<Blend, true>(checker, swap, wide) : pick_checker<Blend, false>(checker, swap, wide);
}

Level level_of(const metal::TextureLevelView& v) {
  Level l;
  l.bytes = v.bytes;
  l.row_bytes = static_cast<size_t>(v.width) * 4;
  l.width = _mm_set1_ps(static_cast<float>(v.width));
  l.height = _mm_set1_ps(static_cast<float>(v.height));
  l.top_x = _mm_set1_ps(static_cast<float>(v.width - 1));
  l.top_y = _mm_set1_ps(static_cast<float>(v.height - 1));
  return l;
}

}  // namespace

bool draw_preview_shader_specialised(const platform::DrawCall& call, PreviewLanes lanes) {
  if (call.target == nullptr || call.bytes0 == nullptr || call.vertex_count < 3 || call.vertex_count >= 6) {
    return false;
  }
  const DrawInputs<Uniforms> in(call);
  if (in.view_count == 0) return false;
  for (uint32_t i = 0; i < in.view_count; ++i) {
    if (in.views[i].bytes == nullptr || in.views[i].width == 0 || in.views[i].height == 0) return false;
  }
  Plan plan;
  if (!platform::raster_detail::set_up_triangle<VOut, &preview_shader::vn_vertex>(call.vertex_start, in.width,
                                                                                  in.height, plan.tri)) {
    return true;  // covers nothing: the general path draws nothing either
  }
  const Tri& t = plan.tri;
  plan.target = in.target->levelBytes(0).data();
  plan.target_width = in.width;
  plan.u = in.uniforms;
  // The sampler's level, as texture2d::sample works it out.
  const float top = static_cast<float>(in.view_count - 1);
  const float lod = std::isnan(plan.u.lod) ? 0.0f : std::min(std::max(plan.u.lod, 0.0f), top);
  const auto l0 = static_cast<uint32_t>(lod);
  const float weight = lod - static_cast<float>(l0);
  const bool blend = weight > 0.0f && l0 + 1 < in.view_count;
  plan.levels[0] = level_of(in.views[l0]);
  if (blend) plan.levels[1] = level_of(in.views[l0 + 1]);
  plan.lod_weight = _mm_set1_ps(weight);
  const bool sharpen = plan.u.sharpen > 0.0f;
  if (sharpen) {
    plan.offset_x = metal::exp2(plan.u.lod) / plan.u.src_px.x;
    plan.offset_y = metal::exp2(plan.u.lod) / plan.u.src_px.y;
  }
  const bool checker = plan.u.cell > 0.0f;
  const bool swap = in.texture_bgra != in.bgra;

  const int64_t width = t.x1 - t.x0;
  if (width <= 0 || t.y1 <= t.y0) return true;
  const auto columns = static_cast<size_t>((width + 7) / 8 * 8);  // whole groups of either form
  plan.px.resize(columns);
  const platform::raster_detail::Edge* edges[3] = {&t.e0, &t.e1, &t.e2};
  for (auto& e : plan.edge_x) e.resize(columns);
  for (size_t i = 0; i < columns; ++i) {
    plan.px[i] = static_cast<float>(t.x0 + static_cast<int64_t>(i)) + 0.5f;
    for (int e = 0; e < 3; ++e) plan.edge_x[e][i] = edges[e]->a * plan.px[i];
  }

  const bool wide = lanes == PreviewLanes::widest && cpu_has_avx2();
  const Band band = blend ? pick_sharpen<true>(sharpen, checker, swap, wide)
                          : pick_sharpen<false>(sharpen, checker, swap, wide);
  platform::for_row_bands(t.y1 - t.y0, width, [&](int64_t b, int64_t e) { band(plan, t.y0 + b, t.y0 + e); });
  return !plan.outside.load(std::memory_order_relaxed);
}

#endif

}  // namespace vel
