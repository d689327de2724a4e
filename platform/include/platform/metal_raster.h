// The stand-in's rasteriser, instantiated once per registered shader program
// so that the vertex and fragment functions are inlined into its loops: no
// call through a pointer per pixel and no allocation per draw. Triangles are
// rasterised at pixel centres with the top-left rule, vertex outputs are
// interpolated perspective-correctly, and each result is stored as unorm8
// (round to nearest) in the attachment's byte order.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <type_traits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "platform/gpu_accesses.h"
#include "platform/metal.h"
#include "platform/metal_rows.h"
#include "platform/metal_shader_registry.h"
#include "platform/metal_shading.h"

namespace platform {

namespace raster_detail {

inline uint8_t to_unorm8(float v) {
  if (!(v > 0.0f)) return 0;  // NaN too
  if (v >= 1.0f) return 255;
  return static_cast<uint8_t>(v * 255.0f + 0.5f);
}

struct ScreenVertex {
  float x, y, inv_w;
};

// Edge a→b; the interior (after orienting) is where the value is positive.
struct Edge {
  float a, b, c;   // value = a·x + b·y + c
  bool top_left;   // pixels exactly on it are covered
  float at(float x, float y) const { return a * x + b * y + c; }
  bool covers(float v) const { return v > 0.0f || (v == 0.0f && top_left); }
};

inline Edge make_edge(const ScreenVertex& p, const ScreenVertex& q) {
  const float dx = q.x - p.x, dy = q.y - p.y;
  Edge e{-dy, dx, dy * p.x - dx * p.y, false};
  e.top_left = (dy == 0.0f && dx > 0.0f) || dy < 0.0f;
  return e;
}


// What a draw reads besides its triangles: the target, the sampled texture's
// levels and the fragment's record.
template <class Uniforms>
struct DrawInputs {
  MTLTexture* target = nullptr;
  int64_t width = 0;
  int64_t height = 0;
  bool bgra = false;
  std::array<metal::TextureLevelView, metal::kMaxSampledLevels> views{};
  uint32_t view_count = 0;
  bool texture_bgra = false;
  Uniforms uniforms{};

  explicit DrawInputs(const DrawCall& call) : target(call.target) {
    width = static_cast<int64_t>(target->width());
    height = static_cast<int64_t>(target->height());
    bgra = target->pixelFormat() == MTLPixelFormatBGRA8Unorm;
    if (call.texture0 != nullptr) {
      view_count = static_cast<uint32_t>(std::min<uint64_t>(call.texture0->mipmapLevelCount(), views.size()));
      for (uint32_t i = 0; i < view_count; ++i) views[i] = call.texture0->levelView(i);
      texture_bgra = call.texture0->pixelFormat() == MTLPixelFormatBGRA8Unorm;
    }
    if (call.bytes0 != nullptr) std::memcpy(&uniforms, call.bytes0, sizeof(Uniforms));
  }
  metal::texture2d<float> texture(bool reference) const { return {views.data(), view_count, texture_bgra, reference}; }
};

// One triangle after the vertex stage, oriented, with its pixel bounds.
template <size_t kFloats>
struct Triangle {
  std::array<std::array<float, kFloats>, 3> attrs;
  std::array<ScreenVertex, 3> s;
  Edge e0, e1, e2;
  float inv_area = 0.0f;
  int64_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;
};

// False for a triangle that covers nothing (no area, or not finite).
template <class VOut, auto Vertex>
bool set_up_triangle(uint64_t first, int64_t width, int64_t height, Triangle<sizeof(VOut) / sizeof(float)>& t) {
  auto& attrs = t.attrs;
  auto& s = t.s;
  for (int i = 0; i < 3; ++i) {
    const VOut v = Vertex(static_cast<unsigned int>(first + static_cast<uint64_t>(i)));
    std::memcpy(attrs[i].data(), &v, sizeof(VOut));
    const float w = attrs[i][3] == 0.0f ? 1.0f : attrs[i][3];
    s[i] = {(attrs[i][0] / w + 1.0f) * 0.5f * static_cast<float>(width),
            (1.0f - attrs[i][1] / w) * 0.5f * static_cast<float>(height), 1.0f / w};
  }
  Edge e0 = make_edge(s[1], s[2]);
  float area = e0.at(s[0].x, s[0].y);
  if (area == 0.0f || !std::isfinite(area)) return false;
  if (area < 0.0f) {  // both windings are drawn: orient the interior positive
    std::swap(s[1], s[2]);
    std::swap(attrs[1], attrs[2]);
    e0 = make_edge(s[1], s[2]);
    area = -area;
  }
  t.e0 = e0;
  t.e1 = make_edge(s[2], s[0]);
  t.e2 = make_edge(s[0], s[1]);
  auto clampi = [](float v, int64_t hi) {
    if (!(v > 0.0f)) return int64_t{0};
    return std::min(static_cast<int64_t>(v), hi);
  };
  t.x0 = clampi(std::floor(std::min({s[0].x, s[1].x, s[2].x})), width);
  t.x1 = clampi(std::ceil(std::max({s[0].x, s[1].x, s[2].x})), width);
  t.y0 = clampi(std::floor(std::min({s[0].y, s[1].y, s[2].y})), height);
  t.y1 = clampi(std::ceil(std::max({s[0].y, s[1].y, s[2].y})), height);
  t.inv_area = 1.0f / area;
  return true;
}

inline void store_pixel(uint8_t* p, const metal::float4& c, bool bgra) {
  const uint8_t r = to_unorm8(c.x), g = to_unorm8(c.y), b = to_unorm8(c.z), a = to_unorm8(c.w);
  if (bgra) {
    p[0] = b, p[1] = g, p[2] = r, p[3] = a;
  } else {
    p[0] = r, p[1] = g, p[2] = b, p[3] = a;
  }
}

// store_pixel with the four channels converted side by side, lane by lane
// the same comparisons, product and truncation.
inline void store_pixel_lanes(uint8_t* p, const metal::float4& c, bool bgra) {
#ifdef __SSE2__
  const __m128 v = bgra ? _mm_setr_ps(c.z, c.y, c.x, c.w) : _mm_setr_ps(c.x, c.y, c.z, c.w);
  const __m128i scaled = _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(v, _mm_set1_ps(255.0f)), _mm_set1_ps(0.5f)));
  const __m128i positive = _mm_castps_si128(_mm_cmpgt_ps(v, _mm_setzero_ps()));  // false for NaN
  const __m128i full = _mm_castps_si128(_mm_cmpge_ps(v, _mm_set1_ps(1.0f)));
  __m128i q = _mm_and_si128(scaled, positive);
  q = _mm_or_si128(_mm_andnot_si128(full, q), _mm_and_si128(full, _mm_set1_epi32(255)));
  q = _mm_packus_epi16(_mm_packs_epi32(q, q), q);
  const int32_t word = _mm_cvtsi128_si32(q);
  std::memcpy(p, &word, 4);
#else
  store_pixel(p, c, bgra);
#endif
}

// Rows [ya, yb) of one triangle, one pixel at a time, sampling `texture`;
// `Lanes` stores each pixel with store_pixel_lanes.
template <class VOut, class Uniforms, auto Fragment, bool Lanes>
[[gnu::always_inline]] inline void shade_rows(const DrawInputs<Uniforms>& in,
                                              const Triangle<sizeof(VOut) / sizeof(float)>& t, int64_t ya, int64_t yb,
                                              const metal::texture2d<float>& texture) {
  constexpr size_t kFloats = sizeof(VOut) / sizeof(float);
  TextureLevel& out = in.target->levelBytes(0);
  // A local copy: the stores below go through bytes, which may alias
  // anything reached by reference, so the record would be read per pixel.
  const Uniforms uniforms = in.uniforms;
  for (int64_t y = ya; y < yb; ++y) {
    const float py = static_cast<float>(y) + 0.5f;
    uint8_t* row = out.data() + static_cast<size_t>(y) * static_cast<size_t>(in.width) * 4;
    for (int64_t x = t.x0; x < t.x1; ++x) {
      const float px = static_cast<float>(x) + 0.5f;
      const float w0 = t.e0.at(px, py), w1 = t.e1.at(px, py), w2 = t.e2.at(px, py);
      if (!t.e0.covers(w0) || !t.e1.covers(w1) || !t.e2.covers(w2)) continue;
      const float b0 = w0 * t.inv_area * t.s[0].inv_w, b1 = w1 * t.inv_area * t.s[1].inv_w,
                  b2 = w2 * t.inv_area * t.s[2].inv_w;
      const float norm = 1.0f / (b0 + b1 + b2);
      std::array<float, kFloats> f;
      for (size_t k = 0; k < kFloats; ++k) f[k] = (t.attrs[0][k] * b0 + t.attrs[1][k] * b1 + t.attrs[2][k] * b2) * norm;
      f[0] = px;
      f[1] = py;
      VOut v;
      std::memcpy(static_cast<void*>(&v), f.data(), sizeof(VOut));
      if constexpr (Lanes) {
        store_pixel_lanes(row + static_cast<size_t>(x) * 4, Fragment(v, texture, uniforms), in.bgra);
      } else {
        store_pixel(row + static_cast<size_t>(x) * 4, Fragment(v, texture, uniforms), in.bgra);
      }
    }
  }
}

// The device's band: the fragment and its sampling inlined whole, so that
// what depends only on the draw's record is worked out once per band.
template <class VOut, class Uniforms, auto Fragment>
[[gnu::flatten]] void shade_band(const DrawInputs<Uniforms>& in, const Triangle<sizeof(VOut) / sizeof(float)>& t,
                                 int64_t ya, int64_t yb, const metal::texture2d<float>& texture) {
  shade_rows<VOut, Uniforms, Fragment, true>(in, t, ya, yb, texture);
}

}  // namespace raster_detail

// The reference rasteriser: every pixel on the calling thread, in order,
// sampling one channel at a time.
template <class VOut, class Uniforms, auto Vertex, auto Fragment>
void rasterise_draw_plain(const DrawCall& call) {
  using namespace raster_detail;
  static_assert(std::is_standard_layout_v<VOut> && std::is_trivially_copyable_v<VOut>);
  static_assert(sizeof(VOut) % sizeof(float) == 0 && sizeof(VOut) >= sizeof(metal::float4));
  const DrawInputs<Uniforms> in(call);
  for (uint64_t first = call.vertex_start; first + 3 <= call.vertex_start + call.vertex_count; first += 3) {
    Triangle<sizeof(VOut) / sizeof(float)> t;
    if (!set_up_triangle<VOut, Vertex>(first, in.width, in.height, t)) continue;
    const GpuCoreWork core;
    shade_rows<VOut, Uniforms, Fragment, false>(in, t, t.y0, t.y1, in.texture(true));
  }
}

// The device's rasteriser: the same pixels, each triangle's rows spread over
// the raster threads (triangles stay in order, so overlaps resolve alike),
// sampling four channels at once.
template <class VOut, class Uniforms, auto Vertex, auto Fragment>
void rasterise_draw(const DrawCall& call) {
  using namespace raster_detail;
  static_assert(std::is_standard_layout_v<VOut> && std::is_trivially_copyable_v<VOut>);
  static_assert(sizeof(VOut) % sizeof(float) == 0 && sizeof(VOut) >= sizeof(metal::float4));
  const DrawInputs<Uniforms> in(call);
  const metal::texture2d<float> texture = in.texture(false);
  for (uint64_t first = call.vertex_start; first + 3 <= call.vertex_start + call.vertex_count; first += 3) {
    Triangle<sizeof(VOut) / sizeof(float)> t;
    if (!set_up_triangle<VOut, Vertex>(first, in.width, in.height, t)) continue;
    for_row_bands(t.y1 - t.y0, t.x1 - t.x0, [&](int64_t b, int64_t e) {
      shade_band<VOut, Uniforms, Fragment>(in, t, t.y0 + b, t.y0 + e, texture);
    });
  }
}

}  // namespace platform
