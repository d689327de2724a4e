// The vector form of the 32-bit conversion against the plain per-pixel form,
// byte for byte: every pairing of alpha and colour over the values where
// rounding, clamping or the float encoding could part them, and random
// pixels of both kinds.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "preview/pixel_convert.h"
#include "support/affinity_child.h"

namespace vel {
namespace {

float from_bits(uint32_t b) { return std::bit_cast<float>(b); }

// Values whose bytes are decided by a hair: each byte's rounding edge
// (k + 0.5) / 255 and its exact steps k / 255 with their float neighbours,
// the ends of 0..1 and what lies past them, NaNs, infinities and denormals.
std::vector<float> edge_values() {
  using L = std::numeric_limits<float>;
  std::vector<float> v = {0.0f, -0.0f, 1.0f, -1.0f, 2.0f, 0.5f, 1e-30f, -1e-30f, L::max(), L::lowest(),
                          L::infinity(), -L::infinity(), L::quiet_NaN(), -L::quiet_NaN(), L::signaling_NaN(),
                          from_bits(0x7FC12345u), from_bits(0xFF800001u), L::min(), -L::min(), L::denorm_min(),
                          -L::denorm_min(), from_bits(0x007FFFFFu), from_bits(0x00000100u)};
  for (int k = 0; k <= 255; ++k) {
    for (double target : {(k + 0.5) / 255.0, k / 255.0}) {
      float f = static_cast<float>(target);
      v.push_back(f);
      float up = f, down = f;
      for (int step = 0; step < 2; ++step) {
        up = std::nextafter(up, 2.0f);
        down = std::nextafter(down, -1.0f);
        v.push_back(up);
        v.push_back(down);
      }
    }
  }
  v.push_back(std::nextafter(1.0f, 2.0f));
  return v;
}

// One row of pixels starting 4 bytes into its buffer, so that no load is
// 16-byte aligned, with a padded tail of junk.
struct Row {
  std::vector<uint8_t> bytes;
  HostPixels view;
};

Row make_row(const std::vector<float>& argb, AlphaKind kind) {
  const uint32_t width = static_cast<uint32_t>(argb.size() / 4);
  Row r;
  r.bytes.assign(4 + argb.size() * 4 + 20, 0xCD);
  std::memcpy(r.bytes.data() + 4, argb.data(), argb.size() * 4);
  r.view = HostPixels{r.bytes.data() + 4, width, 1, static_cast<int64_t>(r.bytes.size() - 4), SourceDepth::Bpc32, kind};
  return r;
}

// Answers the first pixel where a vector form (each this processor has,
// and the one `convert_rows` takes) differs from the plain one, or -1.
long first_difference(const HostPixels& view) {
  const size_t len = static_cast<size_t>(view.width) * view.height * 4;
  std::vector<uint8_t> plain(len, 0x22);
  convert_rows32_with(Convert32Kernel::Plain, view, 0, view.height, plain.data());
  const auto differs = [&](const std::vector<uint8_t>& fast) -> long {
    for (size_t i = 0; i < len; ++i) {
      if (fast[i] != plain[i]) return static_cast<long>(i / 4);
    }
    return -1;
  };
  std::vector<uint8_t> fast(len, 0x11);
  convert_rows(view, 0, view.height, fast.data());
  if (const long at = differs(fast); at >= 0) return at;
  for (Convert32Kernel kernel : {Convert32Kernel::Sse2, Convert32Kernel::Avx2}) {
    if (!convert32_kernel_available(kernel)) continue;
    std::fill(fast.begin(), fast.end(), 0x11);
    convert_rows32_with(kernel, view, 0, view.height, fast.data());
    if (const long at = differs(fast); at >= 0) return at;
  }
  return -1;
}

TEST(PixelConvert32, EveryPairOfEdgeValuesMatchesThePlainPath) {
  const std::vector<float> values = edge_values();
  for (AlphaKind kind : {AlphaKind::Straight, AlphaKind::Premultiplied}) {
    for (float alpha : values) {
      // Each colour value once in every channel, its neighbours in the others.
      std::vector<float> argb;
      argb.reserve(values.size() * 4);
      for (size_t i = 0; i < values.size(); ++i) {
        argb.insert(argb.end(), {alpha, values[i], values[(i + 1) % values.size()], values[(i + 7) % values.size()]});
      }
      Row row = make_row(argb, kind);
      const long at = first_difference(row.view);
      ASSERT_EQ(-1, at) << (kind == AlphaKind::Straight ? "straight" : "premultiplied") << " alpha bits 0x" << std::hex
                        << std::bit_cast<uint32_t>(alpha) << " colour bits 0x"
                        << (at < 0 ? 0 : std::bit_cast<uint32_t>(argb[static_cast<size_t>(at) * 4 + 1]));
    }
  }
}

TEST(PixelConvert32, RandomPixelsMatchThePlainPath) {
  std::mt19937 rng(41);
  std::uniform_real_distribution<float> unit(-0.05f, 1.05f);
  const uint32_t width = 1021, height = 64;  // a width that leaves a tail
  for (bool any_bits : {false, true}) {
    for (AlphaKind kind : {AlphaKind::Straight, AlphaKind::Premultiplied}) {
      std::vector<uint8_t> bytes(static_cast<size_t>(width) * 16 * height + 16);
      for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        const float f = any_bits ? from_bits(static_cast<uint32_t>(rng())) : unit(rng);
        std::memcpy(bytes.data() + i, &f, 4);
      }
      // Rows of width × 16 bytes laid out from an odd word.
      const HostPixels view{bytes.data() + 4, width, height, static_cast<int64_t>(width) * 16, SourceDepth::Bpc32, kind};
      EXPECT_EQ(-1, first_difference(view)) << (any_bits ? "any bits" : "near 0..1");
    }
  }
}

// A deep 1080p frame is cut into 7 bands on 8 processors; a host limited to
// two of them must start no more threads than it can run.
TEST(PixelConvert32, BandsFollowTheProcessorsTheHostMayUse) {
  if (testing::allowed_processors().size() < 2) GTEST_SKIP() << "needs two processors";
  const int rc = testing::run_with_processors(2, [] {
    return convert_band_count_here(1920, 1080, SourceDepth::Bpc32) == 2 ? 0 : 1;
  });
  EXPECT_EQ(0, rc);
}

}  // namespace
}  // namespace vel
