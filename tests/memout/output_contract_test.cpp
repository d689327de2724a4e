#include "memout/output_contract.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace vel {
namespace {

// The frame count sizes the duplicate bitmap: an overflow here would give a
// bitmap too small for the range, an empty range must give an empty one.
TEST(OutputContractTest, FrameCountOfARange) {
  struct Case {
    int64_t start, end;
    int64_t count;  // -1: refused
  } cases[] = {
      {5, 4, 0},
      {5, 5, 1},
      {-3, 8, 12},
      {0, 999999, 1000000},
      {5, 3, -1},
      {INT64_MIN, INT64_MAX, -1},        // the span overflows
      {INT64_MIN, -1, -1},               // the span fits, adding one does not
      {0, INT64_MAX - 1, INT64_MAX},     // the largest count that fits
      {INT64_MAX, INT64_MIN, -1},        // backwards across the whole line
      {INT64_MAX, INT64_MAX - 1, 0},     // empty at the top end
  };
  for (const Case& c : cases) {
    auto r = output_frame_count(c.start, c.end);
    if (c.count < 0) {
      ASSERT_FALSE(r) << c.start << ".." << c.end;
      EXPECT_EQ(r.error().message, "invalid output range") << c.start << ".." << c.end;
    } else {
      ASSERT_TRUE(r) << c.start << ".." << c.end << ": " << r.error().message;
      EXPECT_EQ(*r, static_cast<uint64_t>(c.count)) << c.start << ".." << c.end;
    }
  }
}

TEST(OutputContractTest, Rgba8CapacityLimits) {
  struct Case {
    uint64_t width, height;
    uint64_t bytes;     // 0: refused
    const char* error;  // when refused
  } cases[] = {
      {1, 1, 4, nullptr},
      {4096, 4096, 67108864, nullptr},  // exactly 16,777,216 pixels
      {30000, 559, 30000ull * 559 * 4, nullptr},
      {4097, 4096, 0, "RGBA8 output exceeds 64 MiB"},
      {30000, 30000, 0, "RGBA8 output exceeds 64 MiB"},
      {0, 1, 0, "invalid output dimensions"},
      {1, 0, 0, "invalid output dimensions"},
      {30001, 1, 0, "invalid output dimensions"},
      {1ull << 32, 1ull << 32, 0, "invalid output dimensions"},  // no wrap to a small area
  };
  for (const Case& c : cases) {
    auto r = rgba8_capacity(c.width, c.height);
    if (c.error == nullptr) {
      ASSERT_TRUE(r) << c.width << "x" << c.height;
      EXPECT_EQ(*r, c.bytes) << c.width << "x" << c.height;
    } else {
      ASSERT_FALSE(r) << c.width << "x" << c.height;
      EXPECT_EQ(r.error().message, c.error) << c.width << "x" << c.height;
    }
  }
}

}  // namespace
}  // namespace vel
