#include "pool/decode/rgba_decimation.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// The top-left pixel of every factor × factor block, one pixel at a time.
std::vector<uint8_t> reference_reduction(const uint8_t* src, uint32_t w, uint64_t factor, const ReducedSize& size) {
  std::vector<uint8_t> want;
  for (uint64_t r = 0; r < size.height; ++r) {
    for (uint64_t col = 0; col < size.width; ++col) {
      const uint8_t* p = &src[(r * factor * w + col * factor) * 4];
      want.insert(want.end(), p, p + 4);
    }
  }
  return want;
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
    EXPECT_EQ(out, reference_reduction(src.data(), c.w, c.factor, *size));
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

constexpr RowCopier kCopiers[] = {RowCopier::portable, RowCopier::sse2, RowCopier::avx512};

// Every copier against the pixel-by-pixel reduction, over the shapes that
// steer a vector copier into its plain head (a destination off its store
// alignment), its tail (widths past the last whole round) and its plain
// path (a destination off the pixel grid). Each source ends where its
// allocation ends, so a vector load past the last row shows under ASan,
// and guard bytes around the destination show a store outside it.
TEST(RgbaDecimation, EveryRowCopierWritesThePixelByPixelReduction) {
  struct Case {
    uint32_t w, h;
    uint64_t factor;
    size_t out_offset;          // bytes past a 64-byte boundary
    // A reduced size past (w / factor) × (h / factor) that the checks still
    // let through, whose last row is the image's last: 0 for none.
    uint32_t forced_width = 0, forced_height = 0;
  };
  const Case cases[] = {
      {1920, 9, 4, 0},    {1920, 9, 4, 4},    {1920, 9, 4, 12},   {1920, 9, 4, 60},  {1920, 9, 4, 1},
      {1920, 5, 2, 0},    {1920, 5, 2, 8},    {1920, 5, 2, 3},    {1921, 6, 4, 0},   {1923, 6, 2, 4},
      {130, 7, 4, 0},     {129, 4, 2, 16},    {67, 5, 4, 20},     {65, 3, 2, 44},    {31, 3, 2, 0},
      {17, 9, 4, 0},      {15, 4, 4, 0},      {7, 7, 2, 0},       {3, 3, 4, 0},      {1, 1, 2, 0},
      {64, 5, 4, 0, 16, 2}, {13, 5, 4, 0, 4, 2}, {61, 5, 4, 0, 16, 2}, {63, 3, 2, 0, 32, 2}, {33, 3, 2, 0, 17, 2},
      {97, 9, 3, 4},      {1920, 6, 8, 0},    {1920, 4, 1, 4},
  };
  for (const RowCopier copier : kCopiers) {
    if (!row_copier_available(copier)) continue;
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << "copier " << static_cast<int>(copier) << ", " << c.w << "x" << c.h
                                        << " by " << c.factor << ", out at +" << c.out_offset << ", width "
                                        << c.forced_width << "x" << c.forced_height);
      const std::vector<uint8_t> src = numbered_pixels(c.w, c.h);
      std::optional<ReducedSize> size = reduced_rgba_size(c.w, c.h, src.size(), c.factor);
      ASSERT_TRUE(size);
      if (c.forced_width != 0) {
        ASSERT_EQ((c.forced_height - 1) * c.factor, c.h - 1) << "the table's last row is not the image's";
        ASSERT_LT((c.forced_width - 1) * c.factor, c.w) << "the table asks for a width the checks refuse";
        *size = {c.forced_width, c.forced_height, uint64_t{c.forced_width} * c.forced_height * 4};
      }
      constexpr size_t kGuard = 64;
      struct alignas(64) Line {
        uint8_t bytes[64];
      };
      std::vector<Line> storage((c.out_offset + size->bytes + kGuard) / 64 + 1);
      auto* base = reinterpret_cast<uint8_t*>(storage.data());
      std::memset(base, 0xA5, storage.size() * sizeof(Line));
      const std::span<uint8_t> out(base + c.out_offset, size->bytes);
      ASSERT_TRUE(reduce_rgba_with(copier, src, c.w, c.h, c.factor, *size, out));
      EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end()), reference_reduction(src.data(), c.w, c.factor, *size));
      uint8_t* const end = base + storage.size() * sizeof(Line);
      EXPECT_EQ(std::count(base, out.data(), 0xA5), out.data() - base) << "a byte before the destination";
      EXPECT_EQ(std::count(out.data() + out.size(), end, 0xA5), end - (out.data() + out.size()))
          << "a byte after the destination";
    }
  }
}

TEST(RgbaDecimation, EveryRowCopierRefusesWhatThePortableOneRefuses) {
  const uint32_t w = 40, h = 9;
  const std::vector<uint8_t> src = numbered_pixels(w, h);
  struct Case {
    uint64_t factor;
    ReducedSize size;
    size_t source_bytes;
    bool accepted;
  };
  const Case cases[] = {
      {4, {10, 3, 120}, src.size(), true},
      {4, {11, 3, 132}, src.size(), false},      // an eleventh column starts past the row
      {4, {10, 3, 120}, src.size() - 4, false},  // the last pixel missing
      {2, {20, 5, 400}, src.size(), true},
      {2, {20, 5, 400}, src.size() - 1, false},
      {2, {20, 6, 480}, src.size(), false},  // a sixth reduced row starts past the image
  };
  for (const RowCopier copier : kCopiers) {
    if (!row_copier_available(copier)) continue;
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << "copier " << static_cast<int>(copier) << ", by " << c.factor << " to "
                                        << c.size.width << "x" << c.size.height);
      std::vector<uint8_t> out(c.size.bytes);
      EXPECT_EQ(reduce_rgba_with(copier, std::span(src).first(c.source_bytes), w, h, c.factor, c.size, out),
                c.accepted);
    }
  }
}

TEST(RgbaDecimation, ThePortableCopierIsAlwaysThere) {
  EXPECT_TRUE(row_copier_available(RowCopier::portable));
#if defined(__x86_64__)
  EXPECT_TRUE(row_copier_available(RowCopier::sse2)) << "every x86-64 processor has SSE2";
#endif
}

}  // namespace
}  // namespace vel
