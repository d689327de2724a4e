#include "render/renderer.h"

#include <cstring>

#include <gtest/gtest.h>

#include "project/project_model.h"
#include "render/world.h"

namespace sim {
namespace {

Composition comp(int32_t w, int32_t h) {
  Composition c;
  c.name = "t";
  c.width = w;
  c.height = h;
  c.frame_duration = {1, 24};
  c.duration = {240, 24};
  return c;
}

// A solid whose top-left corner sits at (x, y), unscaled and unrotated.
Layer solid(std::array<double, 3> rgb, int32_t w, int32_t h, double x, double y, double opacity = 100,
            const char* mode = "normal") {
  Layer l;
  l.name = "s";
  l.solid = Solid{"s", rgb, w, h};
  l.duration = {240, 24};
  l.transform.anchor.fixed = {0, 0, 0};
  l.transform.position.fixed = {x, y, 0};
  l.transform.opacity.fixed = {opacity, 0, 0};
  l.transfer_mode = *transfer_mode_from_name(mode);
  return l;
}

RenderedFrame render(const Composition& c, double seconds = 0, int32_t ds = 1, int32_t depth = 8) {
  RenderRequest req;
  req.time = HostTime{static_cast<int32_t>(seconds * 1000), 1000};
  req.downsample_x = req.downsample_y = ds;
  req.depth = depth;
  Result<RenderedFrame> f = render_composition(c, req);
  EXPECT_TRUE(f.ok()) << (f.ok() ? "" : f.error());
  return f.ok() ? f.value() : RenderedFrame{};
}

std::array<int, 4> px8(const RenderedFrame& f, int x, int y) {
  const float* p = &f.rgba[(static_cast<size_t>(y) * f.width + x) * 4];
  return {to_8bit(p[0]), to_8bit(p[1]), to_8bit(p[2]), to_8bit(p[3])};
}

// Which pixels of a one-row or small frame have any alpha, as a string.
std::string coverage(const RenderedFrame& f) {
  std::string s;
  for (int y = 0; y < f.height; ++y) {
    for (int x = 0; x < f.width; ++x) s += f.rgba[(static_cast<size_t>(y) * f.width + x) * 4 + 3] > 0 ? '#' : '.';
    if (y + 1 < f.height) s += '/';
  }
  return s;
}

TEST(Renderer, CoverageFollowsPixelCentres) {
  struct Case {
    const char* what;
    Layer layer;
    std::string want;
  };
  Layer half_pixel = solid({1, 1, 1}, 2, 1, 1.5, 0);
  Layer rotated = solid({1, 1, 1}, 4, 2, 2, 0);
  rotated.transform.rotation.fixed = {90, 0, 0};
  Layer scaled = solid({1, 1, 1}, 1, 1, 2, 2);
  scaled.transform.anchor.fixed = {0.5, 0.5, 0};
  scaled.transform.scale.fixed = {200, 200, 100};
  Layer flat = solid({1, 1, 1}, 4, 4, 0, 0);
  flat.transform.scale.fixed = {100, 0, 100};
  Layer mirrored = solid({1, 1, 1}, 1, 1, 3, 0);
  mirrored.transform.scale.fixed = {-100, 100, 100};
  const Case cases[] = {
      // The centre 1.5 of column 1 maps to the solid's left edge (inside);
      // column 3's centre 3.5 maps to its right edge (outside).
      {"left edge inside, right edge outside", half_pixel, ".##./..../..../...."},
      // Clockwise: the layer's x axis runs down the screen, its y axis left.
      {"rotation turns clockwise", rotated, "##../##../##../##.."},
      {"scale grows about the anchor", scaled, "..../.##./.##./...."},
      {"zero scale draws nothing", flat, "..../..../..../...."},
      {"negative scale mirrors about the anchor", mirrored, "..#./..../..../...."},
  };
  for (const Case& c : cases) {
    Composition k = comp(4, 4);
    k.layers = {c.layer};
    EXPECT_EQ(coverage(render(k)), c.want) << c.what;
  }
}

TEST(Renderer, DownsampleSamplesCentresOfLargerPixels) {
  Composition k = comp(5, 3);
  k.layers = {solid({1, 1, 1}, 2, 2, 0, 0)};
  RenderedFrame f = render(k, 0, 2);
  EXPECT_EQ(f.width, 3);  // rounded up
  EXPECT_EQ(f.height, 2);
  EXPECT_EQ(coverage(f), "#../...");
}

TEST(Renderer, OpacityAndDepthRounding) {
  Composition k = comp(2, 2);
  k.layers = {solid({1, 1, 1}, 2, 2, 0, 0, 50)};
  EXPECT_EQ(px8(render(k), 0, 0), (std::array<int, 4>{128, 128, 128, 128}));
  RenderedFrame f16 = render(k, 0, 1, 16);
  EXPECT_EQ(to_16bit(f16.rgba[3]), 16384);
  RenderedFrame f32 = render(k, 0, 1, 32);
  EXPECT_FLOAT_EQ(f32.rgba[3], 0.5f);
}

TEST(Renderer, LayersDrawBottomFirst) {
  Composition k = comp(1, 1);
  Layer red = solid({1, 0, 0}, 1, 1, 0, 0, 50);
  Layer blue = solid({0, 0, 1}, 1, 1, 0, 0);
  k.layers = {red, blue};  // red on top
  EXPECT_EQ(px8(render(k), 0, 0), (std::array<int, 4>{128, 0, 128, 255}));
  k.layers = {blue, red};
  EXPECT_EQ(px8(render(k), 0, 0), (std::array<int, 4>{0, 0, 255, 255}));
}

TEST(Renderer, BlendModesOverAnOpaqueBackdrop) {
  // Backdrop 0.6 (exactly 153), source 0.2: with both opaque the result is
  // the blend function's value.
  struct Case {
    const char* mode;
    int want;
  };
  const Case cases[] = {
      {"normal", 51},      {"multiply", 31},     {"screen", 173},      {"overlay", 92},
      {"darken", 51},      {"lighten", 153},     {"difference", 102},  {"add", 204},
      {"linear_dodge", 204}, {"hard_light", 61}, {"exclusion", 143},   {"subtract", 102},
      {"linear_burn", 0},  {"color_dodge", 191}, {"color_burn", 0},    {"soft_light", 116},
      {"divide", 255},     {"hue", 51},
  };
  for (const Case& c : cases) {
    Composition k = comp(1, 1);
    k.layers = {solid({0.2, 0.2, 0.2}, 1, 1, 0, 0, 100, c.mode), solid({0.6, 0.6, 0.6}, 1, 1, 0, 0)};
    EXPECT_EQ(px8(render(k), 0, 0)[0], c.want) << c.mode;
  }
}

TEST(Renderer, BlendOverTransparencyShowsTheSource) {
  Composition k = comp(1, 1);
  k.layers = {solid({0.2, 0.4, 0.6}, 1, 1, 0, 0, 100, "multiply")};
  EXPECT_EQ(px8(render(k), 0, 0), (std::array<int, 4>{51, 102, 153, 255}));
}

TEST(Renderer, LayerTimesAndSwitches) {
  struct Case {
    const char* what;
    double t;
    bool enabled;
    bool drawn;
  };
  const Case cases[] = {
      {"before the in point", 0.999, true, false},
      {"at the in point", 1.0, true, true},
      {"at the out point", 2.0, true, false},
      {"switched off", 1.5, false, false},
  };
  for (const Case& c : cases) {
    Composition k = comp(1, 1);
    Layer l = solid({1, 1, 1}, 1, 1, 0, 0);
    l.in_point = {24, 24};
    l.duration = {1, 1};
    l.enabled = c.enabled;
    k.layers = {l};
    EXPECT_EQ(px8(render(k, c.t), 0, 0)[3] > 0, c.drawn) << c.what;
  }
}

TEST(Renderer, KeyframedOpacityIsEvaluatedAtTheFrameTime) {
  Composition k = comp(1, 1);
  Layer l = solid({1, 1, 1}, 1, 1, 0, 0);
  Keyframe a, b;
  a.time = {0, 1};
  b.time = {1, 1};
  a.value = {0, 0, 0};
  b.value = {100, 0, 0};
  l.transform.opacity.keys = {a, b};
  k.layers = {l};
  EXPECT_EQ(px8(render(k, 0.5), 0, 0)[3], 128);
}

// Rows and columns settled once each must give the pixels of the per-pixel
// test exactly: opaque and blended layers, odd sizes, half-pixel edges,
// mirrored and fractional scales, rotations (which keep the per-pixel test)
// and layers far outside the frame, at every depth and several downsamples.
TEST(Renderer, SettledRowsAndColumnsGiveThePerPixelFrameBitForBit) {
  Layer backdrop = solid({0.05, 0.1, 0.3}, 97, 61, 48.5, 30.5);
  backdrop.transform.anchor.fixed = {48.5, 30.5, 0};
  Layer bar = solid({0.9, 0.85, 0.6}, 60, 7, 18.5, -2.25, 100, "screen");
  Keyframe from, to;
  from.time = {0, 1};
  to.time = {1, 1};
  from.value = {18.5, -2.25, 0};
  to.value = {30.25, 40.5, 0};
  bar.transform.position.keys = {from, to};
  Layer card = solid({0.2, 0.7, 0.7}, 31, 20, 10, 12, 50, "multiply");
  card.transform.scale.fixed = {33.3, 150, 100};
  Layer mirrored = solid({0.6, 0.2, 0.9}, 13, 9, 70.5, 20, 75, "overlay");
  mirrored.transform.anchor.fixed = {3.25, 4.5, 0};
  mirrored.transform.scale.fixed = {-150, 66.7, 100};
  Layer spinner = solid({0.85, 0.15, 0.2}, 20, 20, 60, 40, 100);
  spinner.transform.anchor.fixed = {10, 10, 0};
  Keyframe still, turned;
  still.time = {0, 1};
  turned.time = {1, 1};
  still.value = {0, 0, 0};
  turned.value = {90, 0, 0};
  spinner.transform.rotation.keys = {still, turned};  // unrotated at 0 only
  Layer far = solid({1, 1, 1}, 10, 10, 1e300, -1e300);
  Layer hairline = solid({1, 0.5, 0}, 97, 1, 0, 30.5, 100, "difference");
  hairline.transform.scale.fixed = {100, 0.5, 100};

  struct Case {
    const char* what;
    std::vector<Layer> layers;
  };
  const Case cases[] = {
      {"one opaque plain solid over the whole frame", {backdrop}},
      {"layers blended over a backdrop", {bar, card, mirrored, backdrop}},
      {"a rotating layer beside unrotated ones", {spinner, hairline, card}},
      {"a layer far outside the frame", {far, bar}},
  };
  for (const Case& c : cases) {
    Composition k = comp(97, 61);
    k.layers = c.layers;
    for (const int32_t depth : {8, 16, 32}) {
      for (const int32_t ds : {1, 2, 3}) {
        for (const int32_t ms : {0, 500, 1000}) {
          RenderRequest req;
          req.time = HostTime{ms, 1000};
          req.downsample_x = ds;
          req.downsample_y = ds == 3 ? 2 : ds;
          req.depth = depth;
          Result<RenderedFrame> settled = render_composition(k, req);
          req.per_pixel_coverage = true;
          Result<RenderedFrame> per_pixel = render_composition(k, req);
          ASSERT_TRUE(settled.ok() && per_pixel.ok()) << c.what;
          const std::vector<float>& a = settled.value().rgba;
          const std::vector<float>& b = per_pixel.value().rgba;
          ASSERT_EQ(a.size(), b.size()) << c.what;
          EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0)
              << c.what << " depth " << depth << " downsample " << ds << " at " << ms << " ms";
        }
      }
    }
  }
}

TEST(Renderer, RefusesFramesItCannotHold) {
  Composition k = comp(30000, 30000);
  RenderRequest req;
  EXPECT_FALSE(render_composition(k, req).ok());
  req.downsample_x = req.downsample_y = 4;
  EXPECT_TRUE(render_composition(comp(3, 3), req).ok());
  req.depth = 12;
  EXPECT_FALSE(render_composition(comp(3, 3), req).ok());
}

TEST(World, ChannelsAreAlphaFirstInPaddedRows) {
  RenderedFrame f;
  f.width = 1;
  f.height = 2;
  f.rgba = {0.2f, 0.4f, 0.6f, 1.0f, 0, 0, 0, 0};
  auto w8 = make_world(f, AEGP_WorldType_8);
  EXPECT_EQ(w8->row_bytes, 64u);
  EXPECT_EQ(w8->bytes[0], 255);
  EXPECT_EQ(w8->bytes[1], 51);
  EXPECT_EQ(w8->bytes[3], 153);
  EXPECT_EQ(w8->bytes[4], 0xCD);  // padding is not pixels
  EXPECT_EQ(w8->bytes[64], 0);    // second row starts at row_bytes

  auto w16 = make_world(f, AEGP_WorldType_16);
  uint16_t alpha = 0;
  std::memcpy(&alpha, w16->bytes.data(), 2);
  EXPECT_EQ(alpha, 32768);
  auto w32 = make_world(f, AEGP_WorldType_32);
  float red = 0;
  std::memcpy(&red, w32->bytes.data() + 4, 4);
  EXPECT_FLOAT_EQ(red, 0.2f);
}

}  // namespace
}  // namespace sim
