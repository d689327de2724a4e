#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "cache/memory_pressure.h"
#include "byte_sizes.h"

namespace vel {
namespace {

constexpr uint64_t kSec = 1'000'000'000ull;

TEST(PressureTest, AvailablePercent) {
  struct Case {
    std::optional<uint64_t> avail, phys, want;
  } cases[] = {
      {4 * kGiB, 16 * kGiB, 25},
      {1, 16 * kGiB, 0},
      {std::nullopt, 16 * kGiB, std::nullopt},
      {4 * kGiB, std::nullopt, std::nullopt},
      {UINT64_MAX, UINT64_MAX, 1},  // the × 100 saturates rather than wraps
      {5, 0, 500},                  // a zero total counts as 1
  };
  for (const Case& c : cases) EXPECT_EQ(available_percent(c.avail, c.phys), c.want);
}

TEST(PressureTest, SampleSequencesMoveTheLevel) {
  struct Case {
    const char* name;
    PressureLevel start;
    std::vector<uint64_t> samples;
    uint64_t want_level;
  } cases[] = {
      {"first sample straight to 50", {0, 0}, {5}, 50},
      {"first sample at 15 percent", {0, 0}, {15}, 75},
      {"drop two steps at once", {100, 7}, {7}, 50},
      {"14 rising samples are not enough", {50, 0}, std::vector<uint64_t>(14, 30), 50},
      {"15 rising samples climb one step", {50, 0}, std::vector<uint64_t>(15, 30), 75},
      {"30 rising samples climb to 100", {50, 0}, std::vector<uint64_t>(30, 30), 100},
      {"alternating 30 and 20 holds 75", {75, 0}, {30, 20, 30, 20, 30, 20, 30, 20, 30, 20, 30, 20, 30, 20, 30, 20, 30, 20, 30, 20, 30, 20, 30, 20, 30, 20, 30, 20, 30, 20}, 75},
      {"between 16 and 24 percent holds", {75, 0}, std::vector<uint64_t>(40, 20), 75},
      {"at 8 percent and level 50, rises need 24", {50, 0}, std::vector<uint64_t>(20, 10), 50},
  };
  for (const Case& c : cases) {
    PressureLevel s = c.start;
    for (uint64_t pct : c.samples) apply_pressure_sample(s, pct);
    EXPECT_EQ(s.level, c.want_level) << c.name;
  }
}

TEST(PressureTest, SamplesAtMostEveryTwoWholeSeconds) {
  uint64_t now = 10 * kSec;
  int asked = 0;
  std::optional<uint64_t> next = 5;
  PressureSampler sampler([&] { ++asked; return next; }, [&] { return now; });
  EXPECT_EQ(sampler.percent(), 50u);
  next = 30;
  now += 2 * kSec - 1;  // 1.999… s: whole seconds are 1
  EXPECT_EQ(sampler.percent(), 50u);
  EXPECT_EQ(asked, 1);
  now += 1;
  sampler.percent();
  EXPECT_EQ(asked, 2);
}

TEST(PressureTest, InvalidSampleKeepsLevelButWaitsAgain) {
  uint64_t now = kSec;
  int asked = 0;
  std::optional<uint64_t> next;
  PressureSampler sampler([&] { ++asked; return next; }, [&] { return now; });
  EXPECT_EQ(sampler.percent(), 100u);  // no valid sample yet
  now += kSec;
  next = 5;
  EXPECT_EQ(sampler.percent(), 100u);  // the failed attempt still counted as a sample
  EXPECT_EQ(asked, 1);
  now += kSec;
  EXPECT_EQ(sampler.percent(), 50u);
}

TEST(PressureTest, BusyLockAnswersThePublishedLevel) {
  uint64_t now = 0;
  std::atomic<bool> inside{false}, release{false};
  std::atomic<int> calls{0};
  PressureSampler sampler(
      [&]() -> std::optional<uint64_t> {
        if (calls.fetch_add(1) == 0) return 10;  // first sample: 75
        inside = true;
        while (!release) std::this_thread::yield();
        return 5;
      },
      [&] { return now; });
  ASSERT_EQ(sampler.percent(), 75u);
  now = 5 * kSec;
  std::thread holder([&] { sampler.percent(); });
  while (!inside) std::this_thread::yield();
  EXPECT_EQ(sampler.percent(), 75u);  // answered at once while the holder samples
  release = true;
  holder.join();
  EXPECT_EQ(sampler.percent(), 50u);
}

}  // namespace
}  // namespace vel
