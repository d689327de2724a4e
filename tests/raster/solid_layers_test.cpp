// A stack of layers drawn together against the same layers drawn one by one:
// the bytes must be the same whatever the stack, the backdrop, the frame and
// whether the stack's table is made part way, found from an earlier frame or
// never made.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "raster/blend_table.h"
#include "raster/solid_rasterizer.h"

namespace vel {
namespace {

constexpr uint32_t kW = 512, kH = 384;  // big enough for a noisy stack to make its table

struct Layer {
  const char* mode;
  double opacity, rotation, scale, dx, dy;
  // Anchor and position so far out that rows cannot be taken as runs: the
  // layer covers the one pixel at the origin.
  bool huge = false;
};

const char* const kLayerModes[] = {"normal", "multiply", "screen", "overlay", "darken", "lighten", "difference", "add"};

std::vector<SolidPaint> paints_of(const std::vector<Layer>& layers) {
  std::vector<SolidPaint> out;
  for (size_t i = 0; i < layers.size(); ++i) {
    // A half of green at 60 % falls on a rounding boundary for a fifth of
    // the bytes, as in the benchmark: most groups need the exact path.
    const std::string mode = layers[i].mode;
    out.push_back({blend_for_name(mode), kW, kH, 0.2f + 0.07 * static_cast<double>(i), 0.5, 0.7f, mode == "normal"});
  }
  return out;
}

std::vector<SolidLayerDraw> draws_of(const std::vector<Layer>& layers, const std::vector<SolidPaint>& paints) {
  std::vector<SolidLayerDraw> out;
  for (size_t i = 0; i < layers.size(); ++i) {
    const Layer& l = layers[i];
    const double far = l.huge ? 1e250 : 0;
    out.push_back({&paints[i],
                   {kW / 2.0 + far, kH / 2.0 + far, kW / 2.0 + l.dx + far, kH / 2.0 + l.dy + far, l.scale, l.scale,
                    l.rotation, l.opacity}});
  }
  return out;
}

std::vector<uint8_t> backdrop(bool noisy, size_t bytes) {
  std::vector<uint8_t> px(bytes);
  std::mt19937 rng(5);
  for (size_t p = 0; p + 4 <= px.size(); p += 4) {
    const uint32_t x = rng(), a = noisy ? (x >> 24) | 1 : 200;
    for (uint32_t ch = 0; ch < 3; ++ch) {
      px[p + ch] = static_cast<uint8_t>((noisy ? (x >> (8 * ch)) & 0xFF : 60 * ch) * a / 255);
    }
    px[p + 3] = static_cast<uint8_t>(a);
  }
  return px;
}

// Eight layers, one of each kind, every one covering the whole frame.
std::vector<Layer> whole(double rotation, double scale) {
  std::vector<Layer> out;
  for (int i = 0; i < 8; ++i) out.push_back({kLayerModes[i], 0.6, rotation == 0 ? 0 : rotation + 11 * i, scale, 0, 0});
  return out;
}

std::vector<Layer> with(std::vector<Layer> layers, size_t at, Layer extra) {
  layers.insert(layers.begin() + static_cast<ptrdiff_t>(at), extra);
  return layers;
}

struct Case {
  const char* what;
  std::vector<Layer> layers;
  bool noisy = true;
  uint32_t downsample = 1;
  size_t short_by = 0;  // bytes missing from the end of the buffer
  bool optimize = true;
  bool makes_table = true;  // drawn at full size over its backdrop, the stack turns to a table
};

std::vector<Case> cases() {
  std::vector<Layer> partial, apart;
  for (int i = 0; i < 8; ++i) partial.push_back({kLayerModes[i], 0.6, 3.0 * i, 100, 20.0 * i - 70, 10.0 * (i % 3) - 10});
  for (int i = 0; i < 4; ++i) apart.push_back({kLayerModes[i], 0.6, 2, 100, (i % 2 ? 1 : -1) * 0.6 * kW, 0});
  return {
      {"rotated, whole frame", whole(7, 200)},
      {"unrotated, whole frame", whole(0, 100)},
      {"rotated over a flat backdrop", whole(7, 200), false, 1, 0, true, false},
      {"covers meeting on part of each row", partial},
      {"covers that never meet", apart, true, 1, 0, true, false},
      {"opaque store half way across, in the middle", with(partial, 4, {"normal", 1.0, 0, 100, -(kW / 2.0), 0})},
      {"zero opacity and zero scale in the middle",
       with(with(whole(7, 200), 3, {"screen", 0.0, 0, 200, 0, 0}), 6, {"add", 0.6, 0, 0, 0, 0})},
      {"rows not runs in the middle", with(whole(7, 200), 4, {"multiply", 0.6, 0, 100, 0, 0, true})},
      {"downsampled by 2", partial, true, 2},
      {"buffer short of the last rows, mid-pixel", partial, true, 1, kW * 4 * 30 + 6},
      {"optimize off", whole(7, 200), true, 1, 0, false},
  };
}

TEST(SolidLayers, SameBytesAsLayerByLayer) {
  for (const Case& c : cases()) {
    const std::vector<SolidPaint> paints = paints_of(c.layers);
    const std::vector<SolidLayerDraw> draws = draws_of(c.layers, paints);
    const uint32_t w = kW / c.downsample, h = kH / c.downsample;
    const std::vector<uint8_t> under = backdrop(c.noisy, size_t{w} * h * 4 - c.short_by);
    std::vector<uint8_t> expected = under;
    for (const SolidLayerDraw& d : draws) {
      rasterize_solid_layer(expected, w, h, c.downsample, *d.paint, d.transform, c.optimize);
    }
    // An earlier frame of the same stack at full size, as a scene's cache
    // holds it for the frames that follow.
    BlendTableCache primed;
    std::vector<uint8_t> full = backdrop(c.noisy, size_t{kW} * kH * 4);
    rasterize_solid_layers(full, kW, kH, 1, draws, true, &primed);
    EXPECT_EQ(primed.size() > 0, c.makes_table) << c.what;

    BlendTableCache cold;
    for (BlendTableCache* tables : {static_cast<BlendTableCache*>(nullptr), &cold, &cold, &primed}) {
      std::vector<uint8_t> got = under;
      rasterize_solid_layers(got, w, h, c.downsample, draws, c.optimize, tables);
      const char* cache = tables == nullptr ? "no cache" : tables == &cold ? "cold" : "primed";
      ASSERT_EQ(got, expected) << c.what << ", " << cache;
    }
    // The same stack a little more transparent is another table: the primed
    // one must not serve it.
    std::vector<SolidLayerDraw> fainter = draws;
    for (SolidLayerDraw& d : fainter) d.transform.opacity *= 0.9;
    std::vector<uint8_t> want = under, got = under;
    for (const SolidLayerDraw& d : fainter) {
      rasterize_solid_layer(want, w, h, c.downsample, *d.paint, d.transform, c.optimize);
    }
    rasterize_solid_layers(got, w, h, c.downsample, fainter, c.optimize, &primed);
    ASSERT_EQ(got, want) << c.what << ", fainter";
  }
}

// The raster threads of a fill share their scene's cache: several frames of
// one stack drawn at once, each making the table or finding another's.
TEST(SolidLayers, ThreadsShareOneCache) {
  const std::vector<Layer> layers = whole(7, 200);
  const std::vector<SolidPaint> paints = paints_of(layers);
  const std::vector<SolidLayerDraw> draws = draws_of(layers, paints);
  const std::vector<uint8_t> under = backdrop(true, size_t{kW} * kH * 4);
  std::vector<uint8_t> expected = under;
  for (const SolidLayerDraw& d : draws) rasterize_solid_layer(expected, kW, kH, 1, *d.paint, d.transform, true);
  BlendTableCache tables;
  std::vector<std::vector<uint8_t>> frames(4, under);
  std::vector<std::thread> threads;
  for (auto& frame : frames) {
    threads.emplace_back([&] { rasterize_solid_layers(frame, kW, kH, 1, draws, true, &tables); });
  }
  for (std::thread& t : threads) t.join();
  for (const auto& frame : frames) EXPECT_EQ(frame, expected);
  EXPECT_EQ(tables.size(), 1u);
}

}  // namespace
}  // namespace vel
