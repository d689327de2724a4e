#include <gtest/gtest.h>

#include <vector>

#include "cache/comparison.h"

namespace vel {
namespace {

ComparedFrame frame(const std::vector<uint8_t>& bytes, uint32_t w, uint32_t h, FrameKey key = {1, 24},
                    uint16_t ds = 1) {
  return ComparedFrame{key, ds, w, h, bytes};
}

TEST(Comparison, OutcomeKinds) {
  const std::vector<uint8_t> a(16 * 4, 10);
  const std::vector<uint8_t> shorter(15 * 4, 10);
  struct Case {
    const char* what;
    ComparedFrame delivered;
    int kind;  // -1 none, else variant index
  };
  const Case cases[] = {
      {"equal", frame(a, 4, 4), 0},
      {"other key, same bytes", frame(a, 4, 4, {2, 48}), -1},
      {"other downsample", frame(a, 4, 4, {1, 24}, 2), -1},
      {"other size", frame(a, 8, 2), 1},
      {"other length", frame(shorter, 4, 4), 2},
  };
  for (const Case& k : cases) {
    auto got = compare_with_cached_frame(frame(a, 4, 4), k.delivered);
    EXPECT_EQ(got ? static_cast<int>(got->outcome.index()) : -1, k.kind) << k.what;
  }
  auto dims = compare_with_cached_frame(frame(a, 4, 4), frame(a, 8, 2));
  const auto& d = std::get<FrameComparison::Dimensions>(dims->outcome);
  EXPECT_EQ(d.expected_width, 4u);
  EXPECT_EQ(d.delivered_width, 8u);
}

TEST(Comparison, PixelStatistics) {
  struct Change {
    size_t byte;
    uint8_t value;
  };
  struct Case {
    const char* what;
    std::vector<Change> changes;  // on a 4×4 frame of bytes 100
    uint64_t first_pixel;
    uint64_t differing, alpha_only;
    uint8_t max_delta;
    uint64_t total_delta;
    PixelBounds bounds;
  };
  const Case cases[] = {
      {"alpha of one pixel", {{5 * 4 + 3, 90}}, 5, 1, 1, 10, 10, {1, 1, 1, 1}},
      {"colour and alpha", {{2 * 4 + 0, 103}, {2 * 4 + 3, 99}}, 2, 1, 0, 3, 4, {2, 0, 2, 0}},
      {"two pixels widen the bounds", {{1 * 4 + 1, 120}, {14 * 4 + 2, 50}}, 1, 2, 0, 50, 70, {1, 0, 2, 3}},
  };
  for (const Case& k : cases) {
    std::vector<uint8_t> ref(64, 100);
    std::vector<uint8_t> got = ref;
    for (const Change& ch : k.changes) got[ch.byte] = ch.value;
    auto cmp = compare_with_cached_frame(frame(ref, 4, 4), frame(got, 4, 4));
    ASSERT_TRUE(cmp) << k.what;
    const auto& p = std::get<FrameComparison::Pixels>(cmp->outcome);
    EXPECT_EQ(p.first_different_pixel, k.first_pixel) << k.what;
    EXPECT_EQ(p.sample.sampled_pixels, 16u) << k.what;  // small frames are sampled whole
    EXPECT_EQ(p.sample.differing_pixels, k.differing) << k.what;
    EXPECT_EQ(p.sample.alpha_only_pixels, k.alpha_only) << k.what;
    EXPECT_EQ(p.sample.max_channel_delta, k.max_delta) << k.what;
    EXPECT_EQ(p.sample.total_channel_delta, k.total_delta) << k.what;
    EXPECT_EQ(p.sample.sampled_bounds, k.bounds) << k.what;
  }
}

TEST(Comparison, LargeFramesSampleAtMost4096Pixels) {
  const uint32_t w = 1920, h = 1080;
  std::vector<uint8_t> ref(size_t{w} * h * 4, 0);
  std::vector<uint8_t> got = ref;
  for (size_t i = 0; i < got.size(); i += 4) got[i] = 1;  // every pixel differs
  got[0] = 0;
  auto cmp = compare_with_cached_frame(frame(ref, w, h), frame(got, w, h));
  const auto& p = std::get<FrameComparison::Pixels>(cmp->outcome);
  EXPECT_EQ(p.first_different_pixel, 1u);
  EXPECT_EQ(p.sample.sampled_pixels, 4096u);  // the first differing one and 4095 spaced
  EXPECT_EQ(p.sample.differing_pixels, 4095u);  // pixel 0 is sampled and equal
}

}  // namespace
}  // namespace vel
