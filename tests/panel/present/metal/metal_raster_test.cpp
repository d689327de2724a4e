// The stand-in GPU's rasteriser: the device's banded, many-threaded draw
// gives the very bytes of the one-thread reference, for the preview shader
// over sizes, scales, filters and edge cases; and the row bands themselves.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "panel/present/metal/preview_shader.h"
#include "panel/present/metal/preview_shader_draw.h"
#include "platform/metal.h"
#include "platform/metal_mipmaps.h"
#include "platform/metal_raster.h"
#include "platform/metal_rows.h"
#include "platform/metal_testing.h"

namespace platform {
namespace {

using vel::preview_shader::Uniforms;
using vel::preview_shader::VOut;
constexpr auto kFast = &rasterise_draw<VOut, Uniforms, &vel::preview_shader::vn_vertex, &vel::preview_shader::vn_fragment>;
constexpr auto kPlain =
    &rasterise_draw_plain<VOut, Uniforms, &vel::preview_shader::vn_vertex, &vel::preview_shader::vn_fragment>;

constexpr auto kPreview = &vel::draw_preview_shader;
// The specialised form four pixels to a vector, whatever the processor.
void preview_four_lanes(const DrawCall& call) {
  if (!vel::draw_preview_shader_specialised(call, vel::PreviewLanes::four)) kFast(call);
}

enum class Alpha { opaque, clear, mixed };

struct Case {
  const char* name;
  uint64_t tw, th, levels;  // sampled texture; 0 × 0: none bound
  bool texture_bgra;
  uint64_t vw, vh;  // target
  bool target_bgra;
  float lod, sharpen, cell;
  Alpha alpha;
  uint64_t vertices = 3;
  float src_scale = 1.0f;  // scales the record's source size: sample offsets of 2^lod / size
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

const Case kCases[] = {
    {"native", 320, 180, 1, false, 320, 180, true, 0.0f, 0.0f, 12.0f, Alpha::mixed},
    {"halved_one_level", 640, 360, 2, false, 320, 180, true, 1.0f, 0.0f, 12.0f, Alpha::mixed},
    {"between_levels", 427, 240, 2, false, 320, 180, true, 0.415f, 0.0f, 12.0f, Alpha::mixed},
    {"deep_chain", 1000, 563, 5, false, 63, 35, true, 3.99f, 0.0f, 12.0f, Alpha::mixed},
    {"lod_beyond_levels", 200, 100, 3, false, 50, 25, true, 4.0f, 0.0f, 12.0f, Alpha::opaque},
    {"sharpened", 160, 90, 1, false, 600, 338, true, 0.0f, 0.35f, 12.0f, Alpha::mixed},
    {"sharpened_bgra_source", 161, 91, 1, true, 599, 337, true, 0.0f, 0.35f, 12.0f, Alpha::opaque},
    {"sharpened_mip", 640, 360, 3, false, 333, 187, true, 1.5f, 0.35f, 12.0f, Alpha::mixed},
    {"all_clear_checkerboard", 64, 64, 1, false, 257, 129, true, 0.0f, 0.0f, 12.0f, Alpha::clear},
    {"no_checkerboard", 64, 64, 1, false, 257, 129, true, 0.0f, 0.0f, 0.0f, Alpha::mixed},
    {"rgba_target", 300, 200, 1, false, 300, 200, false, 0.0f, 0.0f, 12.0f, Alpha::mixed},
    {"one_texel", 1, 1, 1, false, 97, 61, true, 0.0f, 0.35f, 12.0f, Alpha::mixed},
    {"one_pixel_target", 300, 200, 1, false, 1, 1, true, 0.0f, 0.0f, 12.0f, Alpha::mixed},
    {"one_row", 300, 200, 1, false, 4096, 1, true, 0.0f, 0.0f, 12.0f, Alpha::mixed},
    {"one_column", 300, 200, 1, false, 1, 4099, true, 0.0f, 0.0f, 12.0f, Alpha::mixed},
    {"tall_thin_bands", 37, 500, 1, false, 3, 3001, true, 0.0f, 0.0f, 5.0f, Alpha::mixed},
    {"no_texture_bound", 0, 0, 0, false, 200, 150, true, 0.0f, 0.0f, 12.0f, Alpha::mixed},
    {"nan_lod", 120, 80, 2, false, 200, 150, true, kNaN, 0.0f, 12.0f, Alpha::mixed},
    {"negative_lod", 120, 80, 2, false, 200, 150, true, -3.0f, 0.35f, 12.0f, Alpha::mixed},
    {"infinite_cell", 120, 80, 1, false, 200, 150, true, 0.0f, 0.0f, kInf, Alpha::mixed},
    {"nan_sharpen", 120, 80, 1, false, 200, 150, true, 0.0f, kNaN, 12.0f, Alpha::mixed},
    // Six vertices: a second, overlapping triangle of the other winding.
    {"two_triangles", 120, 80, 1, false, 333, 222, true, 0.0f, 0.0f, 12.0f, Alpha::mixed, 6},
    {"partial_triangle_ignored", 120, 80, 1, false, 200, 150, true, 0.0f, 0.0f, 12.0f, Alpha::mixed, 5},
    // Sharpening offsets that are infinite (a zero source size), far beyond
    // the texture (whole numbers only, where floors are the input) or tiny.
    {"infinite_offsets", 120, 80, 1, false, 200, 150, true, 0.0f, 0.35f, 12.0f, Alpha::mixed, 3, 0.0f},
    {"huge_offsets", 120, 80, 1, false, 200, 150, true, 0.0f, 0.35f, 12.0f, Alpha::mixed, 3, 1e-30f},
    {"tiny_offsets", 120, 80, 2, false, 200, 150, true, 0.5f, 0.35f, 12.0f, Alpha::mixed, 3, 1e30f},
    {"hd_frame_to_hd", 1920, 1080, 1, false, 1920, 1080, true, 0.0f, 0.0f, 12.0f, Alpha::mixed},
    // The panel's draws: fit a larger frame, magnify by a non-integer ratio,
    // odd sizes, an opaque frame with its edges premultiplied against clear.
    {"fit_hd_to_half", 1920, 1080, 2, false, 960, 540, true, 1.0f, 0.0f, 12.0f, Alpha::mixed},
    {"fit_uhd_to_quarter", 3840, 2160, 3, false, 960, 540, true, 2.0f, 0.0f, 12.0f, Alpha::opaque},
    {"downscale_odd_ratio", 1279, 719, 2, false, 1001, 563, true, 0.3536f, 0.0f, 12.0f, Alpha::mixed},
    {"upscale_non_integer", 703, 395, 1, false, 1517, 853, true, 0.0f, 0.0f, 12.0f, Alpha::mixed},
    {"upscale_sharpened_odd", 333, 187, 1, false, 1001, 563, true, 0.0f, 0.35f, 12.0f, Alpha::mixed},
    {"premultiplied_edges", 517, 301, 1, false, 517, 301, true, 0.0f, 0.0f, 12.0f, Alpha::clear},
    {"odd_widths_rgba_source_rgba_target", 101, 37, 1, true, 203, 75, false, 0.0f, 0.35f, 7.0f, Alpha::mixed},
    {"blend_levels_sharpened_bgra", 800, 450, 3, true, 555, 301, true, 0.6f, 0.35f, 12.0f, Alpha::mixed},
};

std::shared_ptr<MTLTexture> sampled_texture(const Case& c, std::mt19937& rng) {
  if (c.tw == 0) return nullptr;
  auto d = MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(
      c.texture_bgra ? MTLPixelFormatBGRA8Unorm : MTLPixelFormatRGBA8Unorm, c.tw, c.th, c.levels > 1);
  d->setMipmapLevelCount(c.levels);
  auto t = MTLCreateSystemDefaultDevice()->newTextureWithDescriptor(d);
  for (uint64_t l = 0; l < t->mipmapLevelCount(); ++l) {
    TextureLevel& bytes = t->levelBytes(l);
    for (size_t i = 0; i < bytes.size(); ++i) {
      uint8_t v = static_cast<uint8_t>(rng());
      if (i % 4 == 3) {
        if (c.alpha == Alpha::opaque) v = 255;
        if (c.alpha == Alpha::clear) v = 0;
        if (c.alpha == Alpha::mixed) v = (v % 3 == 0) ? 255 : (v % 3 == 1 ? 0 : v);
      }
      bytes[i] = v;
    }
  }
  return t;
}

// With no routine: the specialised form alone, `taken` telling whether it drew.
std::vector<uint8_t> draw(const Case& c, void (*routine)(const DrawCall&), const MTLTexture* source,
                          bool* taken = nullptr) {
  auto d = MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(
      c.target_bgra ? MTLPixelFormatBGRA8Unorm : MTLPixelFormatRGBA8Unorm, c.vw, c.vh, false);
  d->setUsage(MTLTextureUsageRenderTarget);
  auto target = MTLCreateSystemDefaultDevice()->newTextureWithDescriptor(d);
  std::memset(target->levelBytes(0).data(), 0x5a, target->levelBytes(0).size());  // shows what no draw covers
  const Uniforms u{c.lod, c.sharpen, {static_cast<float>(c.tw) * c.src_scale, static_cast<float>(c.th) * c.src_scale},
                   {static_cast<float>(c.vw), static_cast<float>(c.vh)}, c.cell, 0.0f};
  DrawCall call;
  call.target = target.get();
  call.texture0 = source;
  call.bytes0 = reinterpret_cast<const uint8_t*>(&u);
  call.vertex_count = c.vertices;
  if (routine != nullptr) {
    routine(call);
  } else {
    *taken = vel::draw_preview_shader_specialised(call);
  }
  const TextureLevel& out = target->levelBytes(0);
  return {out.data(), out.data() + out.size()};
}

bool draw_taken(const Case& c, const MTLTexture* source) {
  bool taken = false;
  draw(c, nullptr, source, &taken);
  return taken;
}

TEST(MetalRaster, DeviceDrawMatchesTheReferenceByteForByte) {
  std::mt19937 rng(30);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto source = sampled_texture(c, rng);
    const std::vector<uint8_t> plain = draw(c, kPlain, source.get());
    for (auto [routine, form] : {std::pair{kFast, "device"}, std::pair{kPreview, "specialised"},
                                 std::pair{&preview_four_lanes, "specialised, four lanes"}}) {
      const std::vector<uint8_t> fast = draw(c, routine, source.get());
      ASSERT_EQ(fast.size(), plain.size());
      size_t first_difference = fast.size();
      for (size_t i = 0; i < fast.size(); ++i) {
        if (fast[i] != plain[i]) {
          first_difference = i;
          break;
        }
      }
      EXPECT_EQ(first_difference, fast.size()) << form << ": pixel " << first_difference / 4;
    }
    // The full-screen triangle leaves nothing undrawn, and the view is opaque.
    for (size_t i = 3; i < plain.size(); i += 4) {
      if (plain[i] != 255) {
        ADD_FAILURE() << "pixel " << i / 4 << " not drawn opaque";
        break;
      }
    }
  }
}

// The draws the panel makes run through the specialised form, not the
// general one it falls back to; the others fall back whole.
TEST(MetalRaster, SpecialisedFormTakesThePanelsDraws) {
  std::mt19937 rng(31);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto source = sampled_texture(c, rng);
    const bool expected = c.tw != 0 && c.vertices < 6;
    EXPECT_EQ(draw_taken(c, source.get()), expected);
  }
}

// The checkerboard's parity without a division, against fmod itself.
TEST(MetalRaster, CheckerParityMatchesTheRemainder) {
  const float values[] = {0.0f, -0.0f, 1.0f, -1.0f, 2.0f, -2.0f, 3.0f, -3.0f, 8388607.0f, 8388609.0f, -8388609.0f,
                          16777215.0f, -16777215.0f, 16777216.0f, 3e9f, -3e9f, 1e38f, 0.5f, -0.5f, 1.5f, -2.5f,
                          std::numeric_limits<float>::denorm_min(), kInf, -kInf, kNaN};
  for (float v : values) EXPECT_EQ(vel::checker_parity_light(v), std::fmod(v, 2.0f) < 1.0f) << v;
  for (int i = -100000; i <= 100000; ++i) {
    const auto v = static_cast<float>(i);
    ASSERT_EQ(vel::checker_parity_light(v), std::fmod(v, 2.0f) < 1.0f) << v;
  }
}

// Clamp to edge holds however far out a coordinate lies, on both forms.
TEST(MetalRaster, FarCoordinatesClampToTheNearerEdge) {
  const uint8_t bytes[8] = {10, 20, 30, 40, 200, 210, 220, 230};
  const metal::TextureLevelView level{bytes, 2, 1};
  const metal::sampler smp(metal::address::clamp_to_edge, metal::filter::linear, metal::mip_filter::linear);
  struct Probe {
    float u;
    uint8_t red;
  };
  const Probe probes[] = {{1e30f, 200}, {3.0f, 200}, {-1e30f, 10}, {-3.0f, 10}, {0.25f, 10}, {0.5f, 105}};
  for (bool reference : {true, false}) {
    const metal::texture2d<float> tex(&level, 1, false, reference);
    for (const Probe& p : probes) {
      const metal::float4 c = tex.sample(smp, metal::float2(p.u, 0.5f), metal::level(0.0f));
      EXPECT_EQ(raster_detail::to_unorm8(c.x), p.red) << "u " << p.u << (reference ? " (reference)" : "");
    }
  }
}

// Mipmap levels: the vector sums give the plain form's texels, over widths
// that leave a remainder, odd sizes and one-texel sides.
TEST(MetalRaster, MipmapLevelsMatchThePlainForm) {
  struct Size {
    uint32_t w, h;
  };
  const Size sizes[] = {{1920, 1080}, {1, 1}, {1, 9}, {9, 1}, {2, 2}, {3, 3}, {7, 5}, {8, 8}, {17, 3}, {1279, 719}};
  std::mt19937 rng(32);
  for (const Size& s : sizes) {
    std::vector<uint8_t> up(size_t{s.w} * s.h * 4);
    for (uint8_t& b : up) b = static_cast<uint8_t>(rng());
    up[0] = 255, up[1] = 255;  // sums at their largest
    const metal::TextureLevelView view{up.data(), s.w, s.h};
    const uint32_t dw = std::max<uint32_t>(s.w >> 1, 1), dh = std::max<uint32_t>(s.h >> 1, 1);
    std::vector<uint8_t> plain(size_t{dw} * dh * 4, 1), fast(size_t{dw} * dh * 4, 2);
    downsample_rows_plain(view, plain.data(), dw, 0, dh);
    downsample_rows(view, fast.data(), dw, 0, dh);
    EXPECT_EQ(fast, plain) << s.w << " x " << s.h;
  }
}

// A pass that loads nothing fills its target before any draw: the clear
// colour, or a marker colour for don't-care so that what no draw covers
// shows. Every pixel, over sizes of one band and of several.
TEST(MetalRaster, PassStartFillsEveryPixel) {
  set_metal_completion(MetalCompletion::at_commit);
  auto device = MTLCreateSystemDefaultDevice();
  auto queue = device->newCommandQueue();
  struct Fill {
    MTLLoadAction load;
    MTLPixelFormat format;
    uint8_t expected[4];
  };
  const Fill fills[] = {
      {MTLLoadActionDontCare, MTLPixelFormatBGRA8Unorm, {255, 0, 255, 255}},
      {MTLLoadActionClear, MTLPixelFormatBGRA8Unorm, {204, 102, 51, 128}},  // blue first
      {MTLLoadActionClear, MTLPixelFormatRGBA8Unorm, {51, 102, 204, 128}},
  };
  const std::pair<uint64_t, uint64_t> sizes[] = {{1, 1}, {3, 5}, {4099, 9}, {257, 301}};
  for (const Fill& f : fills) {
    for (auto [w, h] : sizes) {
      SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h) + " load " + std::to_string(int(f.load)));
      auto d = MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(f.format, w, h, false);
      d->setUsage(MTLTextureUsageRenderTarget);
      auto target = device->newTextureWithDescriptor(d);
      std::memset(target->levelBytes(0).data(), 0x5a, target->levelBytes(0).size());
      auto pass = MTLRenderPassDescriptor::renderPassDescriptor();
      pass->colorAttachment(0).setTexture(target);
      pass->colorAttachment(0).setLoadAction(f.load);
      pass->colorAttachment(0).setClearColor({0.2, 0.4, 0.8, 0.5});
      auto command = queue->commandBuffer();
      command->renderCommandEncoderWithDescriptor(pass)->endEncoding();
      command->commit();
      const TextureLevel& out = target->levelBytes(0);
      ASSERT_EQ(out.size(), w * h * 4);
      for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] != f.expected[i % 4]) {
          ADD_FAILURE() << "pixel " << i / 4 << " channel " << i % 4 << ": " << int(out[i]);
          break;
        }
      }
    }
  }
  reset_metal_faults();
}

TEST(MetalRaster, RowBandsCoverEveryRowOnceUnderConcurrentCallers) {
  struct Shape {
    int64_t rows, row_pixels;
  };
  const Shape shapes[] = {{0, 100}, {1, 1}, {1, 1 << 20}, {7, 0}, {1080, 1920}, {1001, 33}, {5000, 1}, {3, 16384}};
  auto check = [&](const Shape& s) {
    std::vector<std::atomic<int>> hits(static_cast<size_t>(s.rows));
    for_row_bands(s.rows, s.row_pixels, [&](int64_t b, int64_t e) {
      EXPECT_LE(0, b);
      EXPECT_LT(b, e);
      EXPECT_LE(e, s.rows);
      for (int64_t y = b; y < e; ++y) hits[static_cast<size_t>(y)].fetch_add(1, std::memory_order_relaxed);
    });
    for (size_t y = 0; y < hits.size(); ++y) {
      if (hits[y].load() != 1) {
        ADD_FAILURE() << s.rows << " rows of " << s.row_pixels << ": row " << y << " ran " << hits[y].load() << " times";
        return;
      }
    }
  };
  // Several command streams at once, as several devices' queues would run.
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int round = 0; round < 5; ++round) {
        for (const Shape& s : shapes) check(s);
      }
    });
  }
  for (std::thread& t : callers) t.join();
}

}  // namespace
}  // namespace platform
