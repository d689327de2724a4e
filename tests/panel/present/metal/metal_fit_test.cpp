#include <gtest/gtest.h>

#include <cstring>

#include "panel/present/metal/metal_draw.h"
#include "panel/present/metal/metal_fit.h"

namespace vel {
namespace {

TEST(GpuScale, ThePathsArithmeticOnItsExamples) {
  struct Case {
    uint64_t w, h, vw, vh, pressure;
    float lod, sharpen;
    uint32_t levels;
    bool mipmapped;
    const char* reason;
    uint32_t shown;
  } cases[] = {
      {3840, 2160, 960, 540, 100, 2.0f, 0.0f, 3, true, "viewport-fit", 960},
      {1920, 1080, 3840, 2160, 100, 0.0f, 0.35f, 1, false, "source-limited", 1920},
      {1920, 1080, 3840, 2160, 75, 0.0f, 0.0f, 1, false, "source-limited", 1920},
      {1280, 720, 1280, 720, 100, 0.0f, 0.0f, 1, false, "native-detail", 1280},
      {16000, 9000, 500, 280, 100, 4.0f, 0.0f, 5, true, "viewport-fit", 1000},
      {960, 540, 1920, 1080, 100, 0.0f, 0.35f, 1, false, "source-limited", 960},
      {400, 300, 1920, 1080, 100, 0.0f, 0.0f, 1, false, "source-limited", 400},  // beyond 4×: no sharpening
  };
  for (const Case& c : cases) {
    const GpuScale s = gpu_scale(c.w, c.h, c.vw, c.vh, c.pressure);
    const FitDetail d = gpu_fit_detail(c.w, s.lod, c.vw);
    EXPECT_FLOAT_EQ(s.lod, c.lod) << c.w;
    EXPECT_FLOAT_EQ(s.sharpen, c.sharpen) << c.w << " at " << c.pressure;
    EXPECT_EQ(s.levels, c.levels) << c.w;
    EXPECT_EQ(s.mipmapped, c.mipmapped) << c.w;
    EXPECT_STREQ(d.detail_reason, c.reason) << c.w;
    EXPECT_EQ(d.presented_width, c.shown) << c.w;
    EXPECT_EQ(d.target_width, c.vw);
  }
}

TEST(GpuScale, MipChainBudgetAndLeastRecent) {
  EXPECT_EQ(mip_chain_bytes(4, 4, 3), 84u);
  EXPECT_EQ(mip_chain_bytes(1, 1, 3), 12u);
  EXPECT_EQ(mip_chain_bytes(1920, 1080, 0), 0u);
  EXPECT_EQ(mip_chain_bytes(5, 3, 3), 60u + 8u + 4u);
  EXPECT_FALSE(mip_chain_bytes(uint64_t{1} << 31, uint64_t{1} << 31, 1));
  EXPECT_FALSE(mip_chain_bytes(UINT64_MAX, 2, 1));
  EXPECT_EQ(mip_chain_bytes(1, 1, UINT64_MAX / 4 + 1), std::nullopt);

  constexpr uint64_t kMiB = uint64_t{1} << 20, kGiB = uint64_t{1} << 30;
  EXPECT_EQ(texture_cache_budget(50, 16 * kGiB), 64 * kMiB);
  EXPECT_EQ(texture_cache_budget(100, 16 * kGiB), 128 * kMiB);
  EXPECT_EQ(texture_cache_budget(100, kGiB), 16 * kMiB);  // 4 MiB clamped up to 8, doubled
  EXPECT_EQ(texture_cache_budget(100, std::nullopt), 64 * kMiB);
  EXPECT_EQ(texture_cache_budget(75, 2 * kGiB), 12 * kMiB);

  std::vector<TextureCacheEntry> cache(3);
  EXPECT_FALSE(least_recent_texture({}));
  cache[0].stamp = 5, cache[1].stamp = 2, cache[2].stamp = 2;
  EXPECT_EQ(least_recent_texture(cache), 1u);
}

}  // namespace
}  // namespace vel
