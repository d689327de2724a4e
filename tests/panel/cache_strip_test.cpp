#include "panel/cache_strip.h"

#include <gtest/gtest.h>

#include <random>

namespace vel {
namespace {

TEST(CacheStripTest, MarksSitAtTheMiddleOfTheirFramesCell) {
  struct Case {
    int64_t first, last, count;
    uint64_t in, out;
  };
  const Case cases[] = {
      {0, 239, 240, 2, 998},   // the whole composition
      {100, 180, 240, 419, 752},
      {-1, -1, 48, 10, 990},   // unset ends: the first and last frames
      {5, 2, 10, 550, 550},    // an OUT before IN is held at IN
      {0, 0, 0, 0, 1000},      // no frames
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first);
    EXPECT_EQ(strip_mark_positions(c.first, c.last, c.count), std::make_pair(c.in, c.out));
  }
}

TEST(CacheStripTest, CachedFramesInsideTheWorkAreaAreBrightestAndMarksCrossTheStrip) {
  StripPicture pic;
  pic.width_px = 100;
  pic.height_px = 4;
  pic.frame_count = 10;
  const int64_t cached[] = {2, 8};
  pic.lit = strip_columns(10, 100, cached);
  pic.work_first = 1;
  pic.work_last = 6;
  const std::vector<uint8_t> px = draw_cache_strip(pic);
  ASSERT_EQ(px.size(), 100u * 4 * 4);
  auto green = [&](size_t x, size_t y) { return px[(y * 100 + x) * 4 + 1]; };
  EXPECT_GT(green(22, 3), green(82, 3));  // cached inside vs cached outside the work area
  EXPECT_GT(green(82, 3), green(45, 3));  // cached outside vs an empty frame of the work area
  const size_t in_col = 15;  // the middle of frame 1
  EXPECT_EQ(px[(3 * 100 + in_col) * 4], 245);
  EXPECT_TRUE(draw_cache_strip(StripPicture{}).empty());
}

// Against the definition, frame by frame: column x shows the frames from
// floor(x × n / w) to floor((x + 1) × n / w) − 1, at least the first, and is
// lit when one of them is cached.
TEST(CacheStripTest, ColumnsAreLitByTheFramesTheyShowOnShortAndLongCompositions) {
  struct Case {
    int64_t frames;
    uint32_t width;
  };
  const Case cases[] = {{1, 7}, {3, 10}, {10, 100}, {240, 1920}, {1920, 1920}, {1921, 1920}, {1000, 37}, {65537, 960}};
  std::mt19937 rng(49);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.frames) + " frames over " + std::to_string(c.width));
    std::vector<int64_t> cached;
    std::vector<uint8_t> is_cached(static_cast<size_t>(c.frames), 0);
    for (int64_t f = 0; f < c.frames; ++f) {
      if (rng() % 5 == 0) {
        cached.push_back(f);
        is_cached[static_cast<size_t>(f)] = 1;
      }
    }
    cached.push_back(-1);        // outside the composition: passed by
    cached.push_back(c.frames);
    const std::vector<uint8_t> lit = strip_columns(c.frames, c.width, cached);
    ASSERT_EQ(lit.size(), c.width);
    for (uint32_t x = 0; x < c.width; ++x) {
      const int64_t first = static_cast<int64_t>(uint64_t{x} * static_cast<uint64_t>(c.frames) / c.width);
      const int64_t last =
          std::max(first, static_cast<int64_t>(uint64_t{x + 1} * static_cast<uint64_t>(c.frames) / c.width) - 1);
      bool any = false;
      for (int64_t f = first; f <= last; ++f) any = any || is_cached[static_cast<size_t>(f)];
      ASSERT_EQ(lit[x] != 0, any) << "column " << x;
    }
  }
  EXPECT_TRUE(strip_columns(0, 100, {}).empty());
  EXPECT_TRUE(strip_columns(100, 0, {}).empty());
}

// Ten hours at 30 frames a second, a full cache of 4096 frames in the
// middle, on a strip 1920 pixels wide: the cached part is the few columns
// that hold those frames, and the first and last frames light the first and
// last columns.
TEST(CacheStripTest, ATenHourCompositionShowsItsCachedPartPlayheadAndMarks) {
  constexpr int64_t kTenHours = 10 * 3600 * 30;
  std::vector<int64_t> cached = {0, kTenHours - 1};
  for (int64_t f = 540000; f < 540000 + 4096; ++f) cached.push_back(f);
  const std::vector<uint8_t> lit = strip_columns(kTenHours, 1920, cached);
  std::vector<uint32_t> columns;
  for (uint32_t x = 0; x < lit.size(); ++x) {
    if (lit[x]) columns.push_back(x);
  }
  EXPECT_EQ(columns, (std::vector<uint32_t>{0, 960, 961, 962, 963, 964, 965, 966, 967, 1919}));
  // Lengths far past any composition's stay exact.
  const int64_t huge = int64_t{1} << 62;
  const int64_t at[] = {huge - 1, huge / 2};
  EXPECT_EQ(strip_columns(huge, 4, at), (std::vector<uint8_t>{0, 0, 1, 1}));

  StripPicture pic;
  pic.width_px = 1920;
  pic.height_px = 2;
  pic.frame_count = kTenHours;
  pic.lit = lit;
  pic.work_first = 270000;  // 2 h 30 to 7 h 30
  pic.work_last = 810000;
  pic.shown_column = strip_shown_column(540000, kTenHours, 1920);
  EXPECT_EQ(pic.shown_column, 960u);
  // Playing on through the frames of that column draws nothing new.
  EXPECT_EQ(strip_shown_column(540000 + 280, kTenHours, 1920), pic.shown_column);
  EXPECT_NE(strip_shown_column(540000 + 600, kTenHours, 1920), pic.shown_column);
  EXPECT_EQ(strip_shown_column(kTenHours, kTenHours, 1920), std::nullopt);
  const std::vector<uint8_t> px = draw_cache_strip(pic);
  ASSERT_EQ(px.size(), 1920u * 2 * 4);
  auto rgb = [&](size_t x) { return std::vector<int>{px[(1920 + x) * 4], px[(1920 + x) * 4 + 1], px[(1920 + x) * 4 + 2]}; };
  const std::vector<int> mark = {245, 190, 40};
  const std::vector<int> white = {255, 255, 255};
  const auto [in_mark, out_mark] = strip_mark_positions(pic.work_first, pic.work_last, kTenHours);
  EXPECT_EQ(in_mark, 250u);
  EXPECT_EQ(out_mark, 750u);
  EXPECT_EQ(rgb(480), mark);   // IN, a quarter of the way
  EXPECT_EQ(rgb(1440), mark);  // OUT, three quarters
  EXPECT_EQ(rgb(960), white);  // the frame on screen, half way
  EXPECT_GT(rgb(963)[1], rgb(700)[1]) << "the cached part is lit against the work area's empty part";
  EXPECT_GT(rgb(700)[1], rgb(100)[1]) << "the work area is brighter than the rest";
}

}  // namespace
}  // namespace vel
