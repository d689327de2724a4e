#include "pool/decode/rgba_decimation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

namespace vel {
namespace {

std::vector<uint8_t> numbered_pixels(uint32_t w, uint32_t h) {
  std::vector<uint8_t> px(size_t{w} * h * 4);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 131 + i / 251);
  return px;
}

TEST(RgbaDecimation, EveryOutputPixelIsTheTopLeftOfItsBlock) {
  struct Case {
    uint32_t w, h;
    uint64_t factor;
  };
  for (const Case c : {Case{1, 1, 1}, Case{7, 3, 1}, Case{7, 3, 2}, Case{9, 9, 3}, Case{17, 5, 4}, Case{33, 9, 4},
                       Case{1920, 8, 4}, Case{13, 11, 5}, Case{10, 6, 16}, Case{31, 2, 7}}) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " by " << c.factor);
    const std::vector<uint8_t> src = numbered_pixels(c.w, c.h);
    const std::optional<ReducedSize> size = reduced_rgba_size(c.w, c.h, src.size(), c.factor);
    ASSERT_TRUE(size);
    // Filled with a marker so that an unwritten byte shows.
    std::vector<uint8_t> out(size->bytes, 0xA5);
    ASSERT_TRUE(reduce_rgba(src, c.w, c.h, c.factor, *size, out));
    std::vector<uint8_t> want;
    for (uint64_t r = 0; r < size->height; ++r) {
      for (uint64_t col = 0; col < size->width; ++col) {
        const uint8_t* p = &src[(r * c.factor * c.w + col * c.factor) * 4];
        want.insert(want.end(), p, p + 4);
      }
    }
    EXPECT_EQ(out, want);
  }
}

TEST(RgbaDecimation, SizesThatDoNotFitTheBuffersAreRefused) {
  const uint32_t w = 10, h = 6;
  const std::vector<uint8_t> src = numbered_pixels(w, h);
  const ReducedSize good = *reduced_rgba_size(w, h, src.size(), 2);
  auto reduce = [&](std::span<const uint8_t> source, uint64_t factor, ReducedSize size) {
    std::vector<uint8_t> out(size.bytes);
    return reduce_rgba(source, w, h, factor, size, out);
  };
  EXPECT_TRUE(reduce(src, 2, good));
  EXPECT_FALSE(reduce(src, 0, good));
  EXPECT_FALSE(reduce(std::span(src).first(src.size() - 1), 2, good)) << "source one byte short";
  EXPECT_FALSE(reduce(src, 2, {6, 3, 72})) << "a sixth column reads past the row";
  EXPECT_FALSE(reduce(src, 2, {5, 4, 80})) << "a fourth row reads past the image";
  EXPECT_FALSE(reduce(src, uint64_t{1} << 62, {2, 1, 8})) << "a factor whose products overflow";
  EXPECT_FALSE(reduce(src, std::numeric_limits<uint64_t>::max(), {1, 2, 8}));
  EXPECT_TRUE(reduce(src, std::numeric_limits<uint64_t>::max(), {1, 1, 4})) << "one pixel, the top-left";
  std::vector<uint8_t> wrong_out(good.bytes - 4);
  EXPECT_FALSE(reduce_rgba(src, w, h, 2, good, wrong_out));
}

}  // namespace
}  // namespace vel
