#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "panel/stats/bench_timings.h"
#include "panel/stats/level_delivery_stats.h"
#include "panel/stats/render_cost_model.h"

namespace vel {
namespace {

const double kNotANumber = std::numeric_limits<double>::quiet_NaN();

TEST(BenchTimings, IntervalsJoinEventsOfOneMark) {
  BenchTimings b;
  record_delivery_time(b, true, 0.0);
  EXPECT_TRUE(b.dispatches.empty()) << "not collecting";
  set_bench_collecting(b, true);
  record_delivery_time(b, true, 0.0);
  record_delivery_time(b, false, 50.0);  // opposite mark: no interval
  EXPECT_TRUE(b.service_intervals.empty());
  record_delivery_time(b, false, 250.0);  // 200 ms: an interval, not a gap
  record_delivery_time(b, false, 450.5);  // 200.5 ms: a gap
  record_delivery_time(b, false, kNotANumber);
  ASSERT_EQ(b.service_intervals.size(), 2u);
  EXPECT_EQ(b.service_intervals[0].second, 200.0);
  ASSERT_EQ(b.dispatch_gaps.size(), 1u);
  EXPECT_EQ(b.dispatch_gaps[0], 450.5);
  EXPECT_EQ(b.dispatches.size(), 4u);
}

TEST(BenchTimings, PrunesByAgeAndCount) {
  BenchTimings b;
  set_bench_collecting(b, true);
  record_frame_step(b, 0.0);
  record_frame_step(b, 10000.0);
  EXPECT_EQ(b.idle_ticks.size(), 2u) << "exactly 10000 ms old stays";
  record_frame_step(b, 10000.1);
  EXPECT_EQ(b.idle_ticks.front(), 10000.0) << "10000.1 ms old goes";
  for (int i = 0; i < 2000; ++i) record_present_time(b, 1, 20000.0 + i * 0.001);
  EXPECT_EQ(b.submissions.size(), kBenchRingLimit);
  set_bench_collecting(b, false);
  set_bench_collecting(b, true);
  record_frame_step(b, 10001.0);
  EXPECT_EQ(b.idle_gaps.size(), 2u) << "no interval spans a pause";
}

TEST(BenchTimings, Percentile95) {
  auto p95 = [](std::vector<double> v) {
    std::deque<std::pair<double, double>> ring;
    for (double d : v) ring.emplace_back(0.0, d);
    return delivery_time_p95(ring);
  };
  std::vector<double> twenty, twenty_one;
  for (int i = 1; i <= 20; ++i) twenty.push_back(i);
  twenty_one = twenty;
  twenty_one.push_back(21);
  EXPECT_EQ(p95({}), std::nullopt);
  EXPECT_EQ(p95({5, 1, 3}), 5.0);
  EXPECT_EQ(p95({7}), 7.0);
  EXPECT_TRUE(std::isnan(*p95({1, kNotANumber, 2}))) << "NaN sorts above every number";
  EXPECT_EQ(p95(twenty), 20.0);
  EXPECT_EQ(p95(twenty_one), 20.0);
}

LevelDeliveryStats with_async(uint32_t index, double average, uint64_t count) {
  LevelDeliveryStats s;
  s.async_ms[index] = {count, average};
  return s;
}

TEST(LevelDelivery, ArrivalsRestartAfterSilence) {
  struct Case {
    double average;
    double gap;
    size_t kept;
  } cases[] = {{1000, 2500, 1}, {1500, 2500, 2}, {0, 2000, 2}, {0, -1, 1}};
  for (const Case& c : cases) {
    LevelDeliveryStats s = with_async(2, c.average, 1);
    note_level_delivery(s, 4, 10000.0);
    note_level_delivery(s, 4, 10000.0 + c.gap);
    EXPECT_EQ(s.arrivals[2].size(), c.kept) << c.average << " / " << c.gap;
  }
  LevelDeliveryStats s;
  for (int i = 0; i < 100; ++i) note_level_delivery(s, 1, i * 10.0);
  EXPECT_EQ(s.arrivals[0].size(), kMaxArrivalsPerFactor);
  for (uint32_t bad : {0u, 3u, 32u}) {
    note_level_delivery(s, bad, 2000.0);
    EXPECT_FALSE(level_delivery_is_fresh(s, bad, 2000.0));
    EXPECT_FALSE(expected_level_interval(s, bad, true, true, 1));
  }
  note_level_delivery(s, 1, kNotANumber);
  EXPECT_EQ(s.arrivals[0].back(), 990.0);
}

TEST(LevelDelivery, FreshnessWindowFollowsTheAverage) {
  struct Case {
    double average;
    double age;
    bool fresh;
  } cases[] = {{150, 300, true}, {100, 300, false}, {0, 250, true}, {5000, 2000, true}, {5000, 2001, false}};
  for (const Case& c : cases) {
    LevelDeliveryStats s = with_async(1, c.average, 3);
    note_level_delivery(s, 2, 1000.0);
    EXPECT_EQ(level_delivery_is_fresh(s, 2, 1000.0 + c.age), c.fresh) << c.average << " / " << c.age;
    EXPECT_EQ(any_level_is_fresh(s, 1000.0 + c.age), c.fresh);
  }
  LevelDeliveryStats s = with_async(1, 100, 3);
  note_level_delivery(s, 2, 1000.0);
  EXPECT_FALSE(level_delivery_is_fresh(s, 2, 999.0)) << "an arrival in the future";
}

TEST(LevelDelivery, BestLevelAndExpectedInterval) {
  LevelDeliveryStats s;
  for (uint32_t i : {1u, 2u}) s.async_ms[i] = {3, 100.0};
  note_level_delivery(s, 2, 1000.0);
  note_level_delivery(s, 4, 1000.0);
  auto best = level_delivery_stats(s, 1, 1050.0);
  ASSERT_TRUE(best);
  EXPECT_EQ(best->first, 2u) << "equal estimates: the finer factor";
  s.async_ms[1].count = 2;
  EXPECT_EQ(level_delivery_stats(s, 1, 1050.0)->first, 4u) << "fewer than 3 samples is no candidate";
  EXPECT_FALSE(level_delivery_stats(s, 1, kNotANumber));

  // Arrivals 40 ms apart with a 100 ms render: per frame over 5 frames,
  // (100 + 40 × 4) / 5 = 52.
  LevelDeliveryStats p;
  p.async_ms[0] = {3, 100.0};
  for (double t : {0.0, 40.0, 80.0}) note_level_delivery(p, 1, t);
  EXPECT_DOUBLE_EQ(*expected_level_interval(p, 1, false, true, 5), 52.0);
  EXPECT_DOUBLE_EQ(*expected_level_interval(p, 1, false, true, 1), 100.0);
  p.inprocess_ms[0] = {3, 30.0};
  EXPECT_DOUBLE_EQ(*expected_level_interval(p, 1, true, true, 5), 30.0);
  EXPECT_DOUBLE_EQ(*expected_level_interval(p, 1, false, true, 5), 52.0);
  p.inprocess_ms[0].count = 2;
  EXPECT_DOUBLE_EQ(*expected_level_interval(p, 1, true, true, 5), 52.0);
  EXPECT_FALSE(expected_level_interval(p, 1, true, false, 5));
}

TEST(RenderCost, LeastSquaresFit) {
  // Exact line: t = 4 + 0.25 × units at factors 16, 8, 4 (1, 4, 16 units):
  // 4.25, 5, 8 → the 4.25 slot is under 5 ms and left out.
  PerFactorTimes line{4.25, 5.0, 8.0, std::nullopt, std::nullopt};
  auto m = estimate_render_cost(line);
  ASSERT_TRUE(m);
  EXPECT_NEAR(m->fixed_ms, 4.0, 1e-9);
  EXPECT_NEAR(m->unit_ms, 0.25, 1e-9);
  EXPECT_EQ(m->coarsest, 8);
  EXPECT_EQ(m->finest, 4);

  struct Case {
    const char* name;
    PerFactorTimes times;
  } none[] = {{"finer clearly cheaper", {10.0, 7.0, std::nullopt, std::nullopt, std::nullopt}},
              {"one usable slot", {std::nullopt, 10.0, 4.0, std::nullopt, std::nullopt}},
              {"nothing", {}},
              {"far from a line", {6.0, 100.0, 100.0, 100.0, 100.0}}};
  for (const Case& c : none) EXPECT_FALSE(estimate_render_cost(c.times)) << c.name;

  // A fit with a negative intercept goes through 0: 10 at 1 unit, 100 at 4.
  auto through_zero = estimate_render_cost({10.0, 100.0, std::nullopt, std::nullopt, std::nullopt});
  ASSERT_TRUE(through_zero);
  EXPECT_GE(through_zero->fixed_ms, 0.0);
}

TEST(RenderCost, Prediction) {
  const PerFactorTimes times{std::nullopt, std::nullopt, std::nullopt, 40.0, std::nullopt};
  RenderCostModel model{2.0, 1.0, 8, 4};
  struct Case {
    const char* name;
    PerFactorTimes times;
    std::optional<RenderCostModel> model;
    std::optional<double> fallback;
    uint16_t factor;
    std::optional<double> want;
  } cases[] = {
      {"the slot itself", times, std::nullopt, std::nullopt, 2, 40.0},
      {"3 looks at 4, not 2", times, std::nullopt, std::nullopt, 3, std::nullopt},
      {"3 goes on to the model", times, model, std::nullopt, 3, 2.0 + (16.0 / 3) * (16.0 / 3)},
      {"model below half its finest is not used", {}, model, std::nullopt, 1, std::nullopt},
      {"a coarser measurement scaled by area", times, std::nullopt, std::nullopt, 1, 160.0},
      {"fallback scaled", {}, std::nullopt, 10.0, 1, 10.0 * 16},
      {"negative fallback", {}, std::nullopt, -1.0, 1, std::nullopt},
  };
  for (const Case& c : cases) {
    auto got = predicted_render_ms(c.times, c.model, c.fallback, 4, c.factor);
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.name;
    if (got) {
      EXPECT_NEAR(*got, *c.want, 1e-9) << c.name;
    }
  }
}

}  // namespace
}  // namespace vel
