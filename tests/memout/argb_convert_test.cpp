#include "memout/argb_convert.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "memout_test_support.h"

namespace vel {
namespace {

using testing::expected_rgba;
using testing::make_argb;

std::vector<ConvertKernel> kernels() {
  std::vector<ConvertKernel> out{ConvertKernel::Scalar};
  if (convert_kernel_available(ConvertKernel::Avx2)) out.push_back(ConvertKernel::Avx2);
  return out;
}

// Every (colour, alpha) pair, in every channel position and at every lane
// position of a block: row a holds alpha a, with colours c, 255 − c, c ^ 0x5A.
TEST(ArgbConvertTest, EveryColourAlphaPairMatchesTheFormula) {
  testing::ArgbImage img{256, 256, 256 * 4, std::vector<uint8_t>(256 * 256 * 4)};
  for (uint32_t a = 0; a < 256; ++a) {
    for (uint32_t c = 0; c < 256; ++c) {
      uint8_t* p = &img.bytes[(a * 256 + c) * 4];
      p[0] = static_cast<uint8_t>(a);
      p[1] = static_cast<uint8_t>(c);
      p[2] = static_cast<uint8_t>(255 - c);
      p[3] = static_cast<uint8_t>(c ^ 0x5A);
    }
  }
  for (ConvertKernel k : kernels()) {
    for (bool premultiply : {true, false}) {
      std::vector<uint8_t> out(256 * 256 * 4, 0xCD);
      ASSERT_TRUE(convert_argb8_to_rgba8_with(k, img.bytes.data(), img.bytes.size(), img.row_bytes, 256, 256,
                                              out.data(), out.size(), premultiply));
      EXPECT_EQ(out, expected_rgba(img, premultiply)) << "kernel " << int(k) << " premultiply " << premultiply;
    }
  }
}

// The documented cases, through every kernel and in a block position as
// well as in the scalar tail.
TEST(ArgbConvertTest, PremultiplyExamples) {
  struct Case {
    uint8_t a, c, want;
  } cases[] = {
      {0, 200, 0},      // no coverage, no colour
      {255, 200, 200},  // opaque colours pass unchanged
      {128, 255, 128},
      {1, 255, 1},
      {254, 1, 1},
  };
  for (ConvertKernel k : kernels()) {
    for (const Case& c : cases) {
      EXPECT_EQ(premultiply_channel(c.c, c.a), c.want);
      std::vector<uint8_t> src(17 * 4);
      for (size_t p = 0; p < 17; ++p) {
        src[p * 4] = c.a;
        src[p * 4 + 1] = c.c;
        src[p * 4 + 2] = c.c;
        src[p * 4 + 3] = c.c;
      }
      std::vector<uint8_t> dst(17 * 4);
      ASSERT_TRUE(convert_argb8_to_rgba8_with(k, src.data(), src.size(), src.size(), 17, 1, dst.data(), dst.size(),
                                              true));
      for (size_t p = 0; p < 17; ++p) {
        const uint8_t want[4] = {c.want, c.want, c.want, c.a};
        EXPECT_EQ(0, std::memcmp(&dst[p * 4], want, 4))
            << "kernel " << int(k) << " alpha " << int(c.a) << " colour " << int(c.c) << " pixel " << p;
      }
    }
  }
}

// Widths around the 16- and 8-pixel blocks and the scalar tail, with padded
// rows whose junk must never reach the output.
TEST(ArgbConvertTest, BlockTailsAndPaddedRows) {
  for (ConvertKernel k : kernels()) {
    for (uint32_t width = 1; width <= 41; ++width) {
      for (uint64_t pad : {uint64_t{0}, uint64_t{3}, uint64_t{64}}) {
        const auto img = make_argb(width, 5, pad, width);
        std::vector<uint8_t> out(uint64_t{width} * 5 * 4);
        // The last row needs no padding after it.
        const uint64_t src_len = img.bytes.size() - pad;
        ASSERT_TRUE(convert_argb8_to_rgba8_with(k, img.bytes.data(), src_len, img.row_bytes, width, 5, out.data(),
                                                out.size(), true));
        EXPECT_EQ(out, expected_rgba(img, true)) << "kernel " << int(k) << " width " << width << " pad " << pad;
      }
    }
  }
}

TEST(ArgbConvertTest, RefusalsWriteNothing) {
  const uint64_t kMax = UINT64_MAX;
  struct Case {
    uint32_t width, height;
    uint64_t row_bytes, src_len, dst_len;
    const char* error;
  } cases[] = {
      {0, 1, 4, 4, 0, "invalid output dimensions"},
      {1, 0, 4, 4, 0, "invalid output dimensions"},
      {30001, 1, 120004, 120004, 120004, "invalid output dimensions"},
      {4097, 4096, 16388, kMax, 4097ull * 4096 * 4, "RGBA8 output exceeds 64 MiB"},
      {2, 2, 8, 16, 15, "RGBA destination size mismatch"},
      {2, 2, 8, 15, 16, "ARGB row missing"},
      {2, 2, 12, 19, 16, "ARGB row missing"},
      // Bounds are checked with overflow in mind before any byte is read:
      // the declared source length is a lie here, the buffer is tiny.
      {1, 3, 1ull << 63, kMax, 12, "row offset overflow"},
      {1, 2, kMax - 2, kMax, 8, "row end overflow"},
  };
  for (const Case& c : cases) {
    for (ConvertKernel k : kernels()) {
      std::vector<uint8_t> src(64, 0x77);
      std::vector<uint8_t> dst(64, 0x11);
      auto r = convert_argb8_to_rgba8_with(k, src.data(), c.src_len, c.row_bytes, c.width, c.height, dst.data(),
                                           c.dst_len, true);
      ASSERT_FALSE(r) << c.error;
      EXPECT_EQ(r.error().message, c.error);
      EXPECT_EQ(r.error().kind, MemoutErrorKind::InvalidData);
      EXPECT_EQ(dst, std::vector<uint8_t>(64, 0x11)) << c.error;
    }
  }
}

}  // namespace
}  // namespace vel
