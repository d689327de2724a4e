// The blend kernels on edge values, the per-pixel compositing, the coverage
// rule's edges, the frame-size limits and the drawing order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "raster/blend_kernels.h"
#include "raster/raster_frame.h"
#include "raster/solid_rasterizer.h"
#include "raster_test_support.h"

namespace vel::testing {
namespace {

TEST(BlendKernels, EdgeValues) {
  struct Case {
    const char* name;
    double b, s, want;
  } cases[] = {
      {"normal", 0.3, 0.8, 0.8},       {"multiply", 0.5, 0.5, 0.25},    {"multiply", 1, 0, 0},
      {"screen", 0.5, 0.5, 0.75},      {"screen", 0, 1, 1},             {"overlay", 0.25, 0.5, 0.25},
      {"overlay", 0.5, 0.2, 0.2},      {"overlay", 0.75, 0.5, 0.75},    {"overlay", 1, 0, 1},
      {"darken", 0.2, 0.7, 0.2},       {"lighten", 0.2, 0.7, 0.7},      {"difference", 0.2, 0.7, 0.5},
      {"difference", 1, 0, 1},         {"add", 0.7, 0.6, 1},            {"add", 0.2, 0.3, 0.5},
      {"linear_dodge", 0.9, 0.9, 1},   {"darken", NAN, 0.4, 0.4},       {"lighten", 0.4, NAN, 0.4},
  };
  for (const Case& c : cases) {
    BlendKernel k = blend_for_name(c.name);
    ASSERT_NE(k, nullptr) << c.name;
    EXPECT_DOUBLE_EQ(k(c.b, c.s), c.want) << c.name << " " << c.b << " " << c.s;
  }
}

TEST(BlendKernels, SignedZerosFollowMinNumAndMaxNum) {
  EXPECT_TRUE(std::signbit(blend_for_name("darken")(+0.0, -0.0)));
  EXPECT_TRUE(std::signbit(blend_for_name("darken")(-0.0, +0.0)));
  EXPECT_FALSE(std::signbit(blend_for_name("lighten")(+0.0, -0.0)));
  EXPECT_FALSE(std::signbit(blend_for_name("lighten")(-0.0, +0.0)));
}

TEST(BlendKernels, OnlyTheModelledNamesHaveKernels) {
  for (const char* name : {"soft_light", "hard_light", "Normal", "exclusion", "subtract", "", "xfer_39"}) {
    EXPECT_EQ(blend_for_name(name), nullptr) << name;
  }
  EXPECT_EQ(blend_for_name("add"), blend_for_name("linear_dodge"));
}

TEST(CompositePixel, Table) {
  SolidPaint white{blend_for_name("normal"), 1, 1, 1, 1, 1, true};
  SolidPaint red_multiply{blend_for_name("multiply"), 1, 1, 1, 0, 0, false};
  struct Case {
    const char* what;
    SolidPaint paint;
    double opacity;
    std::array<uint8_t, 4> before, after;
  } cases[] = {
      {"white over nothing", white, 1, {0, 0, 0, 0}, {255, 255, 255, 255}},
      {"half white over nothing: 127.5 goes up", white, 0.5, {0, 0, 0, 0}, {128, 128, 128, 128}},
      {"multiply over nothing shows its own colour", red_multiply, 1, {0, 0, 0, 0}, {255, 0, 0, 255}},
      {"multiply over grey", red_multiply, 1, {128, 128, 128, 255}, {128, 0, 0, 255}},
      {"half multiply over half-covered blue", red_multiply, 0.5, {0, 0, 128, 128}, {64, 0, 64, 192}},
  };
  for (const Case& c : cases) {
    std::array<uint8_t, 4> px = c.before;
    composite_pixel(c.opacity, px.data(), c.paint, 0);
    EXPECT_EQ(px, c.after) << c.what;
  }
  std::array<uint8_t, 4> px{9, 9, 9, 9};
  SolidPaint teal{blend_for_name("normal"), 1, 1, 0, 0.5, 0.502, true};
  composite_pixel(1, px.data(), teal, opaque_store_word(teal));
  EXPECT_EQ(px, (std::array<uint8_t, 4>{0, 128, 128, 255}));
}

TEST(RenderRasterFrame, SizesAndLimits) {
  struct Case {
    uint32_t w, h, ds;
    uint32_t want_w, want_h;
  } sizes[] = {{1920, 1080, 2, 960, 540}, {3, 3, 4, 1, 1}, {8000, 8000, 1, 8000, 8000},
               {8001, 8000, 2, 4000, 4000}, {100, 50, 0, 100, 50}, {101, 51, 4, 25, 12}};
  for (const Case& c : sizes) {
    auto f = render_raster_frame(comp_model(c.w, c.h), c.ds, true, 0);
    ASSERT_TRUE(f.ok()) << c.w << "x" << c.h;
    EXPECT_EQ(f.value().width, c.want_w);
    EXPECT_EQ(f.value().height, c.want_h);
    EXPECT_EQ(f.value().pixels.size(), size_t{c.want_w} * c.want_h * 4);
    if (c.w == 1920) {
      EXPECT_TRUE(std::all_of(f.value().pixels.begin(), f.value().pixels.end(), [](uint8_t b) { return b == 0; }));
    }
  }
  for (auto [w, h] : {std::pair{8001u, 8000u}, {0u, 10u}, {10u, 0u}}) {
    auto f = render_raster_frame(comp_model(w, h), 1, true, 0);
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.error(), "dimensions " + std::to_string(w) + "x" + std::to_string(h));
  }
}

std::vector<bool> covered(const RasterFrame& f) {
  std::vector<bool> out;
  for (size_t p = 3; p < f.pixels.size(); p += 4) out.push_back(f.pixels[p] != 0);
  return out;
}

TEST(RenderRasterFrame, LeftEdgeInsideRightEdgeOutside) {
  LayerModel l = solid_layer(1, {1, 1, 1}, 100, 100);
  l.transform.position = AnimatedVec2::constant({10.5, 0});
  for (bool optimize : {true, false}) {
    auto f = render_raster_frame(comp_model(200, 4, {l}), 1, optimize, 0);
    ASSERT_TRUE(f.ok());
    auto cov = covered(f.value());
    EXPECT_FALSE(cov[9]);
    EXPECT_TRUE(cov[10]);
    EXPECT_TRUE(cov[109]);
    EXPECT_FALSE(cov[110]);
  }
}

TEST(RenderRasterFrame, BottomLayerFirstAndRejectionsBeforeDrawing) {
  LayerModel top = solid_layer(1, {1, 0, 0}, 4, 4);
  LayerModel bottom = solid_layer(2, {0, 0, 1}, 4, 4);
  auto f = render_raster_frame(comp_model(4, 4, {bottom, top}), 1, true, 0);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f.value().pixels[0], 255);  // index 1 drawn last, over index 2
  EXPECT_EQ(f.value().pixels[2], 0);

  LayerModel soft = solid_layer(3, {1, 1, 1}, 4, 4, "soft_light");
  soft.name = "Doux";
  auto refused = render_raster_frame(comp_model(4, 4, {top, soft}), 1, true, 0);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), "calque 3 « Doux » : blend « soft_light »");
  soft.out_point = 0;  // never visible: not looked at
  EXPECT_TRUE(render_raster_frame(comp_model(4, 4, {top, soft}), 1, true, 0).ok());
}

TEST(RenderRasterFrame, ZeroOpacityAndZeroScaleDrawNothing) {
  LayerModel faded = solid_layer(1, {1, 1, 1}, 8, 8);
  faded.transform.opacity = AnimatedScalar::constant(-10);
  LayerModel flat = solid_layer(2, {1, 1, 1}, 8, 8);
  flat.transform.scale = AnimatedVec2::constant({100, 1e-8});
  auto f = render_raster_frame(comp_model(8, 8, {faded, flat}), 1, true, 0);
  ASSERT_TRUE(f.ok());
  EXPECT_TRUE(std::all_of(f.value().pixels.begin(), f.value().pixels.end(), [](uint8_t b) { return b == 0; }));
}

// The fast paths (one run of columns per row, blended a span at a time)
// must give exactly the plain rule's bytes, pixel by pixel, over a backdrop
// that every kernel sees, for any transform, including those whose edges
// pass through pixel centres. Only an opaque "normal" layer differs in how:
// its bytes are stored, not blended, so there only coverage is compared.
TEST(RasterizeSolidLayer, OptimizeGivesThePlainBytes) {
  static const char* const kModes[] = {"normal", "multiply", "screen", "overlay", "darken", "lighten",
                                       "difference", "add", "linear_dodge"};
  std::mt19937 rng(15);
  std::uniform_real_distribution<double> pos(-50, 250), size(1, 150), ang(-400, 400), sc(-300, 300);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> backdrop(200 * 150 * 4);
  for (size_t p = 0; p < backdrop.size(); p += 4) {
    const int a = p % 12 == 0 ? 0 : byte(rng);
    for (int ch = 0; ch < 3; ++ch) backdrop[p + ch] = static_cast<uint8_t>(byte(rng) * a / 255);
    backdrop[p + 3] = static_cast<uint8_t>(a);
  }
  for (int round = 0; round < 300; ++round) {
    const char* mode = kModes[round % 9];
    SolidPaint paint{blend_for_name(mode), std::round(size(rng)), std::round(size(rng)), 0.5, 0.2f, 0.7f,
                     round % 9 == 0};
    EvaluatedTransform tr;
    tr.anchor_x = std::round(pos(rng)) / 2;
    tr.anchor_y = std::round(pos(rng)) / 2;
    tr.position_x = round % 3 ? pos(rng) : std::round(pos(rng)) + 0.5;
    tr.position_y = pos(rng);
    tr.scale_x = round % 4 ? sc(rng) : 100;
    tr.scale_y = sc(rng);
    const double square[] = {0, 90, 180, -90, 270};
    tr.rotation = round % 5 ? ang(rng) : square[(round / 5) % 5];
    tr.opacity = round % 2 ? 1.0 : 0.6;
    if (round % 50 == 7) tr.position_x = 1e250;  // beyond the row-run argument
    const bool stored = tr.opacity == 1.0 && paint.is_normal;
    for (uint32_t ds : {1u, 2u, 4u}) {
      const uint32_t w = 200 / ds, h = 150 / ds;
      std::vector<uint8_t> fast(backdrop.begin(), backdrop.begin() + size_t{w} * h * 4), exact = fast;
      rasterize_solid_layer(fast, w, h, ds, paint, tr, true);
      rasterize_solid_layer(exact, w, h, ds, paint, tr, false);
      if (!stored) {
        ASSERT_EQ(fast, exact) << "round " << round << " mode " << mode << " ds " << ds;
        continue;
      }
      size_t differ = 0;
      for (size_t p = 0; p < fast.size(); p += 4) {
        differ += std::equal(&fast[p], &fast[p] + 4, &backdrop[p]) != std::equal(&exact[p], &exact[p] + 4, &backdrop[p]);
      }
      ASSERT_EQ(differ, 0u) << "round " << round << " ds " << ds;
    }
  }
}

}  // namespace
}  // namespace vel::testing
