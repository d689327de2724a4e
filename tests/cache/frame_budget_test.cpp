#include <gtest/gtest.h>

#include "cache/cache_budget.h"
#include "cache/frame_cache_ops.h"
#include "frame_test_support.h"
#include "byte_sizes.h"

namespace vel {
namespace {

TEST(CacheBudget, TwelvePercentScaledByPressure) {
  struct Case {
    uint64_t physical, pressure, budget;
  };
  const Case cases[] = {
      {16 * kGiB, 100, 16 * kGiB / 100 * 12},
      {16 * kGiB, 50, 16 * kGiB / 100 * 12 / 2},
      {16 * kGiB, 75, 16 * kGiB / 100 * 12 * 75 / 100},
      {99, 100, 1},                                 // at least 1
      {UINT64_MAX, 100, UINT64_MAX / 100 * 12},     // no overflow
  };
  for (const Case& k : cases) EXPECT_EQ(cache_budget_bytes(k.physical, k.pressure), k.budget) << k.physical;
}

TEST(CacheBudget, ReserveGivesWayToWorkInFlight) {
  CacheReserveInputs in{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(cache_reserve_bytes(in), 21u);
  in.panel_bytes = UINT64_MAX;
  EXPECT_EQ(cache_reserve_bytes(in), UINT64_MAX);

  FrameCache c;
  test::roomy(c);
  for (int32_t f = 0; f < 10; ++f) insert_frame(c, test::at24(f), test::make_frame(10, 10, static_cast<uint8_t>(f)));
  c.focus = test::at24(0);
  // A budget of 4008 with 1600 reserved leaves room for 6 frames of 400 bytes.
  const uint64_t physical = 33400;
  ASSERT_EQ(cache_budget_bytes(physical, 100), 4008u);
  refresh_cache_budget(c, CacheReserveInputs{1600, 0, 0, 0, 0, 0}, physical, 100);
  EXPECT_EQ(c.reserve_bytes, 1600u);
  EXPECT_EQ(c.index.size(), 6u);
  EXPECT_TRUE(contains_frame(c, test::at24(0)));

  // Unknown physical memory: the reserve moves, the budget stays.
  refresh_cache_budget(c, CacheReserveInputs{}, std::nullopt, 100);
  EXPECT_EQ(c.reserve_bytes, 0u);
  EXPECT_EQ(c.budget_bytes, 4008u);
}

}  // namespace
}  // namespace vel
