#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "panel/present/pixel_prep.h"

namespace vel {
namespace {

std::vector<uint8_t> image(uint32_t w, uint32_t h, uint8_t fill = 0) {
  return std::vector<uint8_t>(static_cast<size_t>(w) * h * 4, fill);
}

// The box mean, written the way the rounding rule reads.
uint8_t reference_mean(unsigned s) { return static_cast<uint8_t>((s >> 2) + ((s >> 1) & 1)); }

TEST(Halve, SizesIncludingOddOnes) {
  struct Case {
    uint32_t w, h;
    std::optional<std::pair<uint32_t, uint32_t>> out;
  } cases[] = {{5, 3, std::make_pair(2u, 1u)}, {4, 4, std::make_pair(2u, 2u)}, {2, 2, std::make_pair(1u, 1u)},
               {1, 8, std::nullopt},           {8, 1, std::nullopt},          {9, 7, std::make_pair(4u, 3u)}};
  for (const Case& c : cases) {
    auto src = image(c.w, c.h);
    std::vector<uint8_t> out;
    EXPECT_EQ(halve_image(src.data(), src.size(), c.w, c.h, out), c.out) << c.w << "x" << c.h;
  }
  std::vector<uint8_t> out;
  auto short_src = image(4, 4);
  EXPECT_FALSE(halve_image(short_src.data(), short_src.size() - 1, 4, 4, out));
}

TEST(Halve, EveryPixelIsTheRoundedBoxMean) {
  // Odd sizes exercise the vector body, its scalar tail and the dropped
  // last column and row.
  for (uint32_t w : {2u, 9u, 17u, 23u}) {
    const uint32_t h = 5;
    std::vector<uint8_t> src = image(w, h);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 37 + (i >> 3));
    std::vector<uint8_t> out;
    auto size = halve_image(src.data(), src.size(), w, h, out);
    ASSERT_TRUE(size);
    for (uint32_t y = 0; y < size->second; ++y) {
      for (uint32_t x = 0; x < size->first; ++x) {
        for (uint32_t c = 0; c < 4; ++c) {
          auto at = [&](uint32_t sx, uint32_t sy) { return src[(static_cast<size_t>(sy) * w + sx) * 4 + c]; };
          const unsigned s = at(2 * x, 2 * y) + at(2 * x + 1, 2 * y) + at(2 * x, 2 * y + 1) + at(2 * x + 1, 2 * y + 1);
          ASSERT_EQ(out[(static_cast<size_t>(y) * size->first + x) * 4 + c], reference_mean(s))
              << w << " at " << x << "," << y << " channel " << c;
        }
      }
    }
  }
}

TEST(Prepare, HalvesTowardTheView) {
  struct Case {
    uint32_t w, h, tw, th, out_w, out_h;
  } cases[] = {{3840, 2160, 900, 500, 960, 540}, {3840, 2160, 1920, 1080, 1920, 1080},
               {3840, 2160, 1921, 500, 3840, 2160}, {3840, 2160, 100, 50, 240, 135}};
  for (const Case& c : cases) {
    auto src = image(c.w, c.h, 9);
    PresentScratch scratch;
    auto img = prepare_present_pixels(src.data(), src.size(), c.w, c.h, c.tw, c.th, scratch, 100);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->width, c.out_w) << c.tw;
    EXPECT_EQ(img->height, c.out_h) << c.tw;
    EXPECT_EQ(img->length, static_cast<size_t>(c.out_w) * c.out_h * 4);
  }
  PresentScratch scratch;
  auto src = image(4, 4);
  EXPECT_FALSE(prepare_present_pixels(src.data(), src.size(), 0, 4, 2, 2, scratch, 100));
  EXPECT_FALSE(prepare_present_pixels(src.data(), src.size() - 4, 4, 4, 2, 2, scratch, 100));
}

TEST(Prepare, SharpeningLimits) {
  struct Case {
    uint32_t w, h, tw;
    uint64_t pressure;
    bool sharpened;
  } cases[] = {{100, 100, 200, 100, true},   {100, 100, 400, 100, true},   {100, 100, 500, 100, false},
               {100, 100, 130, 100, false},  {100, 100, 200, 75, false},   {1024, 512, 2048, 100, true},
               {1024, 513, 2048, 100, false}};
  for (const Case& c : cases) {
    auto src = image(c.w, c.h, 50);
    PresentScratch scratch;
    auto img = prepare_present_pixels(src.data(), src.size(), c.w, c.h, c.tw, c.h * 2, scratch, c.pressure);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->pixels != src.data(), c.sharpened) << c.w << "x" << c.h << " for " << c.tw;
  }
}

TEST(Prepare, SharpenPullsAwayFromTheBlockMeanAndKeepsBorderAndAlpha) {
  // A bright centre on a dark field: it brightens, its neighbours darken,
  // the border and every alpha stay.
  const uint32_t w = 5, h = 5;
  auto src = image(w, h, 40);
  for (size_t i = 3; i < src.size(); i += 4) src[i] = 200;
  const size_t centre = (2 * w + 2) * 4;
  src[centre] = src[centre + 1] = src[centre + 2] = 220;
  PresentScratch scratch;
  auto img = prepare_present_pixels(src.data(), src.size(), w, h, 10, 10, scratch, 100);
  ASSERT_TRUE(img);
  ASSERT_NE(img->pixels, src.data());
  // c' = c + ((9c − S) × 50) / 900: 220 + (1980 − 540) × 50 / 900 = 300 → 255.
  EXPECT_EQ(img->pixels[centre], 255);
  // A neighbour: 40 + (360 − 540) × 50 / 900 = 30.
  EXPECT_EQ(img->pixels[centre - 4], 30);
  EXPECT_EQ(img->pixels[0], 40) << "border untouched";
  for (size_t i = 3; i < img->length; i += 4) ASSERT_EQ(img->pixels[i], 200);
}

TEST(Checkerboard, CellsAndOpacity) {
  const uint32_t w = 8, h = 4, cell = 2;
  auto src = image(w, h, 0);  // fully transparent
  std::vector<uint8_t> dst(src.size());
  ASSERT_TRUE(flatten_on_checkerboard(src.data(), src.size(), w, h, cell, false, dst.data(), dst.size()));
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const uint8_t grey = ((y / cell + x / cell) % 2) != 0 ? 102 : 153;
      const uint8_t* p = &dst[(static_cast<size_t>(y) * w + x) * 4];
      ASSERT_EQ(p[0], grey) << x << "," << y;
      ASSERT_EQ(p[3], 255);
    }
  }
  EXPECT_FALSE(flatten_on_checkerboard(src.data(), src.size(), w, h, cell, false, dst.data(), dst.size() - 1));
  EXPECT_FALSE(flatten_on_checkerboard(src.data(), src.size() - 1, w, h, cell, false, dst.data(), dst.size()));
}

TEST(Checkerboard, EveryAlphaAgainstTheFormula) {
  // Rows of 259 pixels (vector bodies and odd tails), alpha 0..255 and
  // colours up to their premultiplied maximum, over squares of every size the
  // vector paths treat differently, red and blue swapped or not.
  const uint32_t w = 259, h = 7;
  std::vector<uint8_t> src = image(w, h);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = &src[(static_cast<size_t>(y) * w + x) * 4];
      const uint8_t a = static_cast<uint8_t>((x + 31 * y) % 256);
      p[0] = a;
      p[1] = static_cast<uint8_t>(a / 2);
      p[2] = static_cast<uint8_t>(a / 3);
      p[3] = a;
    }
  }
  for (uint32_t cell : {1u, 2u, 3u, 4u, 5u, 12u, 300u}) {
    for (bool swap : {false, true}) {
      std::vector<uint8_t> dst(src.size());
      ASSERT_TRUE(flatten_on_checkerboard(src.data(), src.size(), w, h, cell, swap, dst.data(), dst.size()));
      for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
          const uint8_t* s = &src[(static_cast<size_t>(y) * w + x) * 4];
          const uint8_t* d = &dst[(static_cast<size_t>(y) * w + x) * 4];
          const unsigned grey = ((y / cell + x / cell) % 2) != 0 ? 102 : 153;
          const unsigned add = s[3] < 255 ? ((255u - s[3]) * grey + 127) / 255 : 0;
          const uint8_t r = static_cast<uint8_t>(std::min(255u, s[0] + add));
          const uint8_t b = static_cast<uint8_t>(std::min(255u, s[2] + add));
          ASSERT_EQ(d[0], swap ? b : r) << "cell " << cell << " at " << x << "," << y;
          ASSERT_EQ(d[1], std::min(255u, s[1] + add));
          ASSERT_EQ(d[2], swap ? r : b);
          ASSERT_EQ(d[3], 255);
        }
      }
    }
  }
}

TEST(Checkerboard, OpaqueSourcesAreCopied) {
  const uint32_t w = 13, h = 2;
  std::vector<uint8_t> src = image(w, h, 255);
  for (size_t i = 0; i < src.size(); ++i) {
    if (i % 4 != 3) src[i] = static_cast<uint8_t>(i);
  }
  for (uint32_t cell : {0u, 12u}) {
    std::vector<uint8_t> dst(src.size());
    ASSERT_TRUE(flatten_on_checkerboard(src.data(), src.size(), w, h, cell, false, dst.data(), dst.size()));
    EXPECT_EQ(dst, src) << cell;
  }
}

TEST(Checkerboard, CellForTheView) {
  struct Case {
    uint64_t prepared, target;
    uint32_t cell;
  } cases[] = {{960, 0, 12}, {960, 960, 12}, {960, 1920, 6}, {1920, 960, 24}, {10, 1000, 1}, {1000, 1998, 6}};
  for (const Case& c : cases) EXPECT_EQ(checker_cell(c.prepared, c.target), c.cell) << c.prepared << "/" << c.target;
}

TEST(PresentBuffer, ReserveKeepsOrFreesByRatio) {
  const size_t mib = 1048576;
  struct Case {
    size_t capacity, n;
    bool kept;
  } cases[] = {{10 * mib, mib, false}, {4 * mib, mib, true}, {mib, 16, true}, {mib + 1, 16, false}};
  for (const Case& c : cases) {
    std::vector<uint8_t> buf;
    buf.reserve(c.capacity);
    ASSERT_TRUE(reserve_present_buffer(buf, c.n));
    EXPECT_EQ(buf.size(), c.n);
    EXPECT_EQ(buf.capacity() == c.capacity, c.kept) << c.capacity << " for " << c.n;
  }
  std::vector<uint8_t> grown{1, 2};
  ASSERT_TRUE(reserve_present_buffer(grown, 5));
  EXPECT_EQ(grown, (std::vector<uint8_t>{1, 2, 0, 0, 0}));
  EXPECT_EQ(grown.capacity(), 5u);
}

}  // namespace
}  // namespace vel
