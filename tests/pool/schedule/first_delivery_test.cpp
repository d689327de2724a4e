#include "pool/schedule/first_delivery.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vel {
namespace {

StartupContext context(uint64_t identity, uint64_t file_ds = 1) {
  return StartupContext{identity, file_ds, FrameDimensions{1920, 1080}, false, 0};
}

TEST(FirstDeliveryHistory, SlowerBelievedAtOnceFasterMovesThirtyPercent) {
  FirstDeliveryHistory h;
  const StartupContext k = context(1);
  record_first_delivery_ms(h, k, true, 1000.0);
  record_first_delivery_ms(h, k, true, 500.0);
  ASSERT_EQ(h.size(), 1u);
  EXPECT_DOUBLE_EQ(*h.back().smoothed_ms, 0.3 * 500.0 + 0.7 * 1000.0);
  record_first_delivery_ms(h, k, true, 2000.0);
  EXPECT_DOUBLE_EQ(*h.back().smoothed_ms, 2000.0);
}

TEST(FirstDeliveryHistory, AbandonedBatchesRaiseAFloorThatAFrameClears) {
  FirstDeliveryHistory h;
  const StartupContext k = context(1);
  record_first_delivery_ms(h, k, false, 4000.0);
  record_first_delivery_ms(h, k, false, 3000.0);
  EXPECT_EQ(h.back().pending_lower_bound_ms, 4000.0);
  EXPECT_FALSE(h.back().smoothed_ms);
  record_first_delivery_ms(h, k, true, 1500.0);
  EXPECT_FALSE(h.back().pending_lower_bound_ms);
  EXPECT_EQ(h.back().smoothed_ms, 1500.0);
}

TEST(FirstDeliveryHistory, UnusableSamplesChangeNoValue) {
  for (double bad : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    FirstDeliveryHistory h;
    record_first_delivery_ms(h, context(1), true, 800.0);
    record_first_delivery_ms(h, context(1), true, bad);
    record_first_delivery_ms(h, context(1), false, bad);
    record_first_delivery_ms(h, context(2), true, bad);  // a new key with nothing to say takes no place
    ASSERT_EQ(h.size(), 1u);
    EXPECT_EQ(h.back().smoothed_ms, 800.0);
    EXPECT_FALSE(h.back().pending_lower_bound_ms);
  }
}

TEST(FirstDeliveryHistory, TouchedKeyMovesBackAndThe33rdPushesOutTheOldest) {
  FirstDeliveryHistory h;
  for (uint64_t id = 0; id < 32; ++id) record_first_delivery_ms(h, context(id), true, 100.0);
  record_first_delivery_ms(h, context(0), true, 100.0);  // 0 is now the most recent
  record_first_delivery_ms(h, context(99), true, 100.0);
  ASSERT_EQ(h.size(), 32u);
  EXPECT_EQ(h.front().key.identity, 2u);  // 1 was the least recently touched
  EXPECT_EQ(h[h.size() - 2].key.identity, 0u);
  EXPECT_EQ(h.back().key.identity, 99u);
}

TEST(PredictedBatchSecs, ExactKeyThenSameConfigurationAtAnyDownsample) {
  FirstDeliveryHistory h;
  EXPECT_FALSE(predicted_batch_secs(h, context(1)));

  record_first_delivery_ms(h, context(1, 2), true, 1200.0);
  record_first_delivery_ms(h, context(1, 4), false, 3000.0);
  record_first_delivery_ms(h, context(7), true, 9000.0);
  // No entry at downsample 1: the largest value among the other downsamples.
  EXPECT_EQ(predicted_batch_secs(h, context(1, 1)), 3.0);

  record_first_delivery_ms(h, context(1, 1), true, 500.0);
  record_first_delivery_ms(h, context(1, 1), false, 800.0);
  EXPECT_EQ(predicted_batch_secs(h, context(1, 1)), 0.8);  // the larger of smoothed and floor

  StartupContext other_format = context(1, 1);
  other_format.output_format = 2;
  EXPECT_FALSE(predicted_batch_secs(h, other_format));
}

}  // namespace
}  // namespace vel
