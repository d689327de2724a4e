#include "panel/cache_strip.h"

#include <gtest/gtest.h>

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
  pic.cached.assign(10, 0);
  pic.cached[2] = pic.cached[8] = 1;
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

}  // namespace
}  // namespace vel
