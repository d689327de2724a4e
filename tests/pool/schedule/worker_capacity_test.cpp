#include "pool/schedule/worker_capacity.h"

#include <gtest/gtest.h>

#include <string>
#include "pool/pool_test_units.h"

namespace vel {
namespace {


TEST(PoolWorkersVariable, ParsesOnlyPlainUnsignedNumbers) {
  const std::string digits25(25, '9');
  struct Case {
    const char* value;
    RequestedWorkers expected;
  } cases[] = {
      {nullptr, {8, false}},   {"0", {1, true}},    {"+12", {12, true}}, {"30", {24, true}},
      {"24", {24, true}},      {"1", {1, true}},    {"-3", {8, false}},  {" 4", {8, false}},
      {"4 ", {8, false}},      {"4x", {8, false}},  {"", {8, false}},    {"+", {8, false}},
      {"++4", {8, false}},     {digits25.c_str(), {8, false}},
      {"18446744073709551615", {24, true}},  // the largest 64-bit value is still a number
      {"18446744073709551616", {8, false}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_requested_workers(c.value), c.expected) << (c.value ? c.value : "(unset)");
  }
}

TEST(WorkerCount, MachineCapUnlessExplicit) {
  const MachineFacts eight_threads{16 * kGiB, 8};
  const MachineFacts ten_threads{64 * kGiB, 10};
  const MachineFacts four_threads{64 * kGiB, 4};
  struct Case {
    RequestedWorkers requested;
    MachineFacts facts;
    uint64_t quality;
    bool measured;
    uint64_t expected;
  } cases[] = {
      {{24, true}, eight_threads, 3, true, 24},  // an explicit count is not capped
      {{24, true}, eight_threads, 3, false, 24},
      {{8, false}, ten_threads, 0, true, 8},     // min(8, 10 × 0.8)
      {{8, false}, four_threads, 0, true, 3},
      {{8, false}, {64 * kGiB, std::nullopt}, 0, true, 1},
      {{8, false}, eight_threads, 3, false, 1},  // min(12, 9.6) GiB / 5 GiB
      {{8, false}, eight_threads, 1, false, 2},  // 9.6 / 3.5
      {{8, false}, {2 * kGiB, 8}, 1, false, 1},  // below the 4 GiB reserve: still one engine
      {{8, false}, {std::nullopt, 32}, 0, false, 8},
      {{8, false}, {std::nullopt, std::nullopt}, 0, false, 8},
      {{8, false}, {1024 * kGiB, 1}, 0, false, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(worker_count_for(c.requested, c.facts, c.quality, c.measured), c.expected)
        << c.requested.count << " q" << c.quality << " measured " << c.measured;
  }
}

TEST(EngineBudget, LargestTwoSizesGetFiveGiB) {
  EXPECT_EQ(engine_budget_bytes(0), 3'758'096'384u);
  EXPECT_EQ(engine_budget_bytes(1), 3'758'096'384u);
  EXPECT_EQ(engine_budget_bytes(2), 5'368'709'120u);
  EXPECT_EQ(engine_budget_bytes(3), 5'368'709'120u);
}

TEST(SpeedLevel, ThresholdsOverTheSmallerKnownBound) {
  struct Case {
    MachineFacts facts;
    uint64_t quality;
    uint64_t expected;
  } cases[] = {
      {{64 * kGiB, 10}, 0, 2},  // RAM bound 10, CPU bound 8
      {{std::nullopt, std::nullopt}, 0, 4},
      {{std::nullopt, 4}, 0, 1},    // capacity 3
      {{std::nullopt, 5}, 0, 1},    // capacity 4
      {{std::nullopt, 10}, 0, 2},   // capacity 8
      {{std::nullopt, 20}, 0, 3},   // capacity 16
      {{std::nullopt, 30}, 0, 4},   // capacity 24
      {{std::nullopt, 128}, 0, 4},
      {{512 * kGiB, std::nullopt}, 0, 4},  // 307 GiB / 3.5 GiB = 87
      {{512 * kGiB, std::nullopt}, 3, 4},
      {{64 * kGiB, std::nullopt}, 3, 1},   // ⌊38.4 GiB / 5 GiB⌋ = 7 engines
      {{64 * kGiB, std::nullopt}, 1, 2},   // ⌊38.4 GiB / 3.5 GiB⌋ = 10 engines
  };
  for (const Case& c : cases) EXPECT_EQ(speed_level_for(c.facts, c.quality), c.expected);
}

TEST(DecodeThreads, FramesThatFitTheBudgetAndTheThreads) {
  const MachineFacts big{32 * kGiB, 16};
  struct Case {
    MachineFacts facts;
    std::optional<FrameDimensions> dims;
    uint64_t downsample;
    uint64_t pressure;
    uint32_t expected;
  } cases[] = {
      {big, FrameDimensions{1920, 1080}, 1, 100, 3},      // min(3, 14, 20, 8)
      {{32 * kGiB, 4}, FrameDimensions{16, 16}, 1, 100, 1},  // fewer than 5 threads
      {{32 * kGiB, std::nullopt}, std::nullopt, 1, 100, 1},  // unknown threads count as 2
      {{32 * kGiB, 64}, FrameDimensions{16, 16}, 1, 100, 8},
      {{32 * kGiB, 64}, FrameDimensions{7680, 4320}, 1, 50, 1},  // 256 MiB holds 2 frames
      {{32 * kGiB, 64}, FrameDimensions{7680, 4320}, 4, 100, 8},
      {{32 * kGiB, 64}, FrameDimensions{0, 1080}, 1, 100, 8},    // an empty frame counts 1 byte
      {{32 * kGiB, 64}, FrameDimensions{UINT32_MAX, UINT32_MAX}, 1, 100, 4},  // overflow: 32 MiB, 16 frames
      {{std::nullopt, 64}, std::nullopt, 1, 100, 1},  // 163 MiB / 32 MiB = 5 frames → (5 − 2) / 3 = 1
      {{std::nullopt, 5}, FrameDimensions{16, 16}, 0, 100, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode_threads_for(c.facts, c.dims, c.downsample, c.pressure), c.expected)
        << (c.dims ? c.dims->width : 0) << " ds" << c.downsample << " p" << c.pressure;
  }
}

}  // namespace
}  // namespace vel
