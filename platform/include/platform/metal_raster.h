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

#include "platform/metal.h"
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

}  // namespace raster_detail

template <class VOut, class Uniforms, auto Vertex, auto Fragment>
void rasterise_draw(const DrawCall& call) {
  using namespace raster_detail;
  static_assert(std::is_standard_layout_v<VOut> && std::is_trivially_copyable_v<VOut>);
  static_assert(sizeof(VOut) % sizeof(float) == 0 && sizeof(VOut) >= sizeof(metal::float4));
  constexpr size_t kFloats = sizeof(VOut) / sizeof(float);
  MTLTexture& target = *call.target;
  const int64_t width = static_cast<int64_t>(target.width());
  const int64_t height = static_cast<int64_t>(target.height());
  TextureLevel& out = target.levelBytes(0);
  const bool bgra = target.pixelFormat() == MTLPixelFormatBGRA8Unorm;

  std::array<metal::TextureLevelView, metal::kMaxSampledLevels> views{};
  uint32_t view_count = 0;
  bool texture_bgra = false;
  if (call.texture0 != nullptr) {
    view_count = static_cast<uint32_t>(std::min<uint64_t>(call.texture0->mipmapLevelCount(), views.size()));
    for (uint32_t i = 0; i < view_count; ++i) views[i] = call.texture0->levelView(i);
    texture_bgra = call.texture0->pixelFormat() == MTLPixelFormatBGRA8Unorm;
  }
  const metal::texture2d<float> texture(views.data(), view_count, texture_bgra);
  Uniforms uniforms{};
  if (call.bytes0 != nullptr) std::memcpy(&uniforms, call.bytes0, sizeof(Uniforms));

  for (uint64_t first = call.vertex_start; first + 3 <= call.vertex_start + call.vertex_count; first += 3) {
    std::array<std::array<float, kFloats>, 3> attrs;
    std::array<ScreenVertex, 3> s;
    for (int i = 0; i < 3; ++i) {
      const VOut v = Vertex(static_cast<unsigned int>(first + static_cast<uint64_t>(i)));
      std::memcpy(attrs[i].data(), &v, sizeof(VOut));
      const float w = attrs[i][3] == 0.0f ? 1.0f : attrs[i][3];
      s[i] = {(attrs[i][0] / w + 1.0f) * 0.5f * static_cast<float>(width),
              (1.0f - attrs[i][1] / w) * 0.5f * static_cast<float>(height), 1.0f / w};
    }
    Edge e0 = make_edge(s[1], s[2]);
    float area = e0.at(s[0].x, s[0].y);
    if (area == 0.0f || !std::isfinite(area)) continue;
    if (area < 0.0f) {  // both windings are drawn: orient the interior positive
      std::swap(s[1], s[2]);
      std::swap(attrs[1], attrs[2]);
      e0 = make_edge(s[1], s[2]);
      area = -area;
    }
    const Edge e1 = make_edge(s[2], s[0]);
    const Edge e2 = make_edge(s[0], s[1]);
    auto clampi = [](float v, int64_t hi) {
      if (!(v > 0.0f)) return int64_t{0};
      return std::min(static_cast<int64_t>(v), hi);
    };
    const int64_t x0 = clampi(std::floor(std::min({s[0].x, s[1].x, s[2].x})), width);
    const int64_t x1 = clampi(std::ceil(std::max({s[0].x, s[1].x, s[2].x})), width);
    const int64_t y0 = clampi(std::floor(std::min({s[0].y, s[1].y, s[2].y})), height);
    const int64_t y1 = clampi(std::ceil(std::max({s[0].y, s[1].y, s[2].y})), height);
    const float inv_area = 1.0f / area;
    for (int64_t y = y0; y < y1; ++y) {
      const float py = static_cast<float>(y) + 0.5f;
      uint8_t* row = out.data() + static_cast<size_t>(y) * static_cast<size_t>(width) * 4;
      for (int64_t x = x0; x < x1; ++x) {
        const float px = static_cast<float>(x) + 0.5f;
        const float w0 = e0.at(px, py), w1 = e1.at(px, py), w2 = e2.at(px, py);
        if (!e0.covers(w0) || !e1.covers(w1) || !e2.covers(w2)) continue;
        const float b0 = w0 * inv_area * s[0].inv_w, b1 = w1 * inv_area * s[1].inv_w, b2 = w2 * inv_area * s[2].inv_w;
        const float norm = 1.0f / (b0 + b1 + b2);
        std::array<float, kFloats> f;
        for (size_t k = 0; k < kFloats; ++k) f[k] = (attrs[0][k] * b0 + attrs[1][k] * b1 + attrs[2][k] * b2) * norm;
        f[0] = px;
        f[1] = py;
        VOut in;
        std::memcpy(static_cast<void*>(&in), f.data(), sizeof(VOut));
        const metal::float4 c = Fragment(in, texture, uniforms);
        uint8_t* p = row + static_cast<size_t>(x) * 4;
        const uint8_t r = to_unorm8(c.x), g = to_unorm8(c.y), b = to_unorm8(c.z), a = to_unorm8(c.w);
        if (bgra) {
          p[0] = b, p[1] = g, p[2] = r, p[3] = a;
        } else {
          p[0] = r, p[1] = g, p[2] = b, p[3] = a;
        }
      }
    }
  }
}

}  // namespace platform
