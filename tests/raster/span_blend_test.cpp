// The vector kernels of a span against the plain path, pixel after pixel
// through `composite_pixel`: the bytes must be the same, bit for bit, for
// every kernel this processor has, every blend mode, opacity and colour,
// over every backdrop byte under every alpha, and for spans of any length
// and start.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "raster/blend_kernels.h"
#include "raster/span_blend.h"

namespace vel {
namespace {

// Every (colour byte, alpha byte) pair once, the three colour channels
// spread differently over it; the pairs with a colour above its alpha are
// not premultiplied, yet the kernels must still agree there.
std::vector<uint8_t> every_backdrop() {
  std::vector<uint8_t> px;
  px.reserve(256 * 256 * 4);
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      px.push_back(static_cast<uint8_t>(b));
      px.push_back(static_cast<uint8_t>(a == 0 ? 0 : (b * 7) % (a + 1)));
      px.push_back(static_cast<uint8_t>(255 - b));
      px.push_back(static_cast<uint8_t>(a));
    }
  }
  return px;
}

const char* const kModes[] = {"normal", "multiply", "screen",     "overlay",
                              "darken", "lighten",  "difference", "add"};

std::vector<SpanKernel> vector_kernels() {
  std::vector<SpanKernel> out;
  for (SpanKernel k : {SpanKernel::Sse2, SpanKernel::Avx2, SpanKernel::Table}) {
    if (span_kernel_available(k)) out.push_back(k);
  }
  return out;
}

const char* kernel_name(SpanKernel k) {
  switch (k) {
    case SpanKernel::Plain: return "plain";
    case SpanKernel::Sse2: return "sse2";
    case SpanKernel::Avx2: return "avx2";
    case SpanKernel::Table: return "table";
  }
  return "?";
}

TEST(SpanBlender, VectorMatchesPlainOverEveryBackdrop) {
  const std::vector<uint8_t> backdrop = every_backdrop();
  const double opacities[] = {0.001, 0.25, 0.5, 0.6, 0.7, 1.0 / 3, 0.999, 1.0};
  // Colours as the host hands them (32-bit floats) and exact halves, which
  // put many results right on a rounding boundary.
  const double colours[][3] = {{0, 0, 0},       {1, 1, 1},           {0.5, 0.25, 0.75},
                               {0.2f, 0.5, 0.7f}, {0.9f, 0.1f, 0.2f}, {1.0 / 255, 127.5 / 255, 254.5 / 255}};
  size_t vectorised = 0;
  for (const char* mode : kModes) {
    for (double opacity : opacities) {
      for (const auto& c : colours) {
        const SolidPaint paint{blend_for_name(mode), 10, 10, c[0], c[1], c[2], false};
        std::vector<uint8_t> plain = backdrop;
        SpanBlender(paint, opacity).blend_with(SpanKernel::Plain, plain.data(), plain.size() / 4);
        for (SpanKernel kernel : vector_kernels()) {
          SpanBlender blender(paint, opacity);
          vectorised += blender.vectorised();
          std::vector<uint8_t> fast = backdrop;
          blender.blend_with(kernel, fast.data(), fast.size() / 4);
          ASSERT_EQ(fast, plain) << kernel_name(kernel) << " " << mode << " at " << opacity << " colour " << c[0]
                                 << "," << c[1] << "," << c[2];
        }
      }
    }
  }
  EXPECT_EQ(vectorised, vector_kernels().size() * std::size(kModes) * std::size(opacities) * std::size(colours));
#if defined(__SSE2__)
  EXPECT_TRUE(span_kernel_available(SpanKernel::Sse2));
#endif
}

// Lengths around the vector width, from every start within it, over random
// premultiplied backdrops: the pixels before and after are untouched.
TEST(SpanBlender, AnyLengthAndStart) {
  std::mt19937 rng(33);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> backdrop(4 * 80);
  for (size_t p = 0; p < backdrop.size(); p += 4) {
    const int a = byte(rng);
    for (int ch = 0; ch < 3; ++ch) backdrop[p + ch] = static_cast<uint8_t>(byte(rng) * a / 255);
    backdrop[p + 3] = static_cast<uint8_t>(a);
  }
  for (const char* mode : kModes) {
    const SolidPaint paint{blend_for_name(mode), 10, 10, 0.3, 0.8, 0.55, false};
    for (size_t start = 0; start < 4; ++start) {
      for (size_t length : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 64, 65}) {
        std::vector<uint8_t> plain = backdrop;
        SpanBlender(paint, 0.45).blend_with(SpanKernel::Plain, plain.data() + 4 * start, length);
        for (SpanKernel kernel : vector_kernels()) {
          std::vector<uint8_t> fast = backdrop;
          SpanBlender(paint, 0.45).blend_with(kernel, fast.data() + 4 * start, length);
          ASSERT_EQ(fast, plain) << kernel_name(kernel) << " " << mode << " start " << start << " length " << length;
        }
        std::vector<uint8_t> best = backdrop;
        SpanBlender(paint, 0.45).blend(best.data() + 4 * start, length);
        ASSERT_EQ(best, plain) << mode << " start " << start << " length " << length;
      }
    }
  }
}

// Runs of equal pixels (as solids leave them) of every length, so that
// groups repeat, end and start anywhere within a vector, under colours and
// opacities whose sums often fall right on a rounding boundary.
TEST(SpanBlender, FlatRunsAndBoundaryColours) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255), run(1, 40);
  std::vector<uint8_t> backdrop;
  while (backdrop.size() < 4 * 20000) {
    const int a = byte(rng);
    uint8_t px[4] = {static_cast<uint8_t>(byte(rng) * a / 255), static_cast<uint8_t>(byte(rng) * a / 255),
                     static_cast<uint8_t>(byte(rng) * a / 255), static_cast<uint8_t>(a)};
    for (int n = run(rng); n > 0; --n) backdrop.insert(backdrop.end(), px, px + 4);
  }
  const size_t count = backdrop.size() / 4;
  for (const char* mode : kModes) {
    for (double opacity : {0.5, 0.6, 0.2}) {
      const SolidPaint paint{blend_for_name(mode), 10, 10, 0.5, 1.0, 0.25, false};
      std::vector<uint8_t> plain = backdrop;
      SpanBlender(paint, opacity).blend_with(SpanKernel::Plain, plain.data(), count);
      for (SpanKernel kernel : vector_kernels()) {
        std::vector<uint8_t> fast = backdrop;
        SpanBlender(paint, opacity).blend_with(kernel, fast.data(), count);
        ASSERT_EQ(fast, plain) << kernel_name(kernel) << " " << mode << " at " << opacity;
      }
    }
  }
}

// Colours and opacities whose sums land on a half for one backdrop byte in
// five or so (0.5 at 60 % gives 0.4 b + 76.5), over a textured backdrop: most
// groups hold a channel or the alpha too near a boundary for single
// precision, settled from results remembered by byte and alpha, both before
// they are kept and after, over backdrops long enough to meet each pair
// again.
TEST(SpanBlender, BoundaryColoursOverNoisyBackdrops) {
  std::mt19937 rng(41);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> backdrop(4 * 150000);
  for (size_t p = 0; p < backdrop.size(); p += 4) {
    const int a = byte(rng) | 1;
    for (int ch = 0; ch < 3; ++ch) backdrop[p + ch] = static_cast<uint8_t>(byte(rng) * a / 255);
    backdrop[p + 3] = static_cast<uint8_t>(a);
  }
  const double colours[][3] = {{0.36f, 0.5, 0.7f}, {0.2f, 0.5, 0.7f}, {0.5, 0.5, 0.5}, {0.74f, 0.25, 1.0}};
  const size_t count = backdrop.size() / 4;
  for (const char* mode : kModes) {
    for (double opacity : {0.6, 0.5, 0.2, 0.75}) {
      for (const auto& c : colours) {
        const SolidPaint paint{blend_for_name(mode), 10, 10, c[0], c[1], c[2], false};
        std::vector<uint8_t> plain = backdrop;
        SpanBlender(paint, opacity).blend_with(SpanKernel::Plain, plain.data(), count);
        for (SpanKernel kernel : vector_kernels()) {
          std::vector<uint8_t> fast = backdrop;
          SpanBlender blender(paint, opacity);
          // Two calls on one blender: the second meets the results the
          // first remembered.
          blender.blend_with(kernel, fast.data(), count / 3);
          blender.blend_with(kernel, fast.data() + 4 * (count / 3), count - count / 3);
          ASSERT_EQ(fast, plain) << kernel_name(kernel) << " " << mode << " at " << opacity << " colour " << c[0]
                                 << "," << c[1] << "," << c[2];
        }
        // Row by row as the rasteriser hands them: the blender turns to its
        // table part way, once it has settled enough groups.
        std::vector<uint8_t> rows = backdrop;
        SpanBlender blender(paint, opacity);
        for (size_t at = 0; at < count; at += 1917) blender.blend(rows.data() + 4 * at, std::min<size_t>(1917, count - at));
        ASSERT_EQ(rows, plain) << "row by row " << mode << " at " << opacity << " colour " << c[0] << "," << c[1]
                               << "," << c[2];
      }
    }
  }
}

// A kernel of no known kind, a colour out of range or an opacity out of
// (0, 1] goes the plain way, with the same result.
TEST(SpanBlender, UnknownKernelsAndOddPaintsTakeThePlainPath) {
  auto half = [](double b, double s) { return (b + s) / 2; };
  struct Case {
    const char* what;
    SolidPaint paint;
    double opacity;
  } cases[] = {
      {"unknown kernel", {half, 1, 1, 0.3, 0.3, 0.3, false}, 0.5},
      {"colour above 1", {blend_for_name("screen"), 1, 1, 1.5, 0.3, 0.3, false}, 0.5},
      {"NaN colour", {blend_for_name("add"), 1, 1, NAN, 0.3, 0.3, false}, 0.5},
      {"opacity above 1", {blend_for_name("multiply"), 1, 1, 0.3, 0.3, 0.3, false}, 1.5},
  };
  const std::vector<uint8_t> backdrop = every_backdrop();
  for (const Case& c : cases) {
    SpanBlender blender(c.paint, c.opacity);
    EXPECT_FALSE(blender.vectorised()) << c.what;
    std::vector<uint8_t> fast(backdrop.begin(), backdrop.begin() + 4 * 999), plain = fast;
    blender.blend(fast.data(), 999);
    blender.blend_with(SpanKernel::Plain, plain.data(), 999);
    EXPECT_EQ(fast, plain) << c.what;
  }
}

}  // namespace
}  // namespace vel
