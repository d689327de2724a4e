#include "pool/batch/batch_end.h"

#include <gtest/gtest.h>

namespace vel {
namespace {

constexpr Instant kEndT0 = 100 * kNsPerSec;

TEST(PoolBatchReport, OptionalsDecimalsAndFormat) {
  struct Case {
    const char* name;
    uint8_t format;
    bool frames;
    const char* expected;
  } cases[] = {
      {"no frame yet, psd", kOutputPsd, false,
       "POOL optimized=true clients=2 peak_active=2 frames=0/30 useful_frames=0 first_ms=None elapsed_ms=1234.6 "
       "read_decode_ms_sum=0.0 read_bytes=0 file_ds=2 pixels=None launch_ms=3.2 first_discovered_ms=None "
       "first_decoded_ms=None output_format=psd"},
      {"frames, memory", kOutputMemory, true,
       "POOL optimized=true clients=2 peak_active=2 frames=12/30 useful_frames=10 first_ms=Some(250.5) "
       "elapsed_ms=1234.6 read_decode_ms_sum=81.3 read_bytes=4096 file_ds=2 pixels=Some(2304) launch_ms=3.2 "
       "first_discovered_ms=Some(120.0) first_decoded_ms=Some(130.25) output_format=vnm"},
  };
  for (const Case& c : cases) {
    PoolPlan plan;
    plan.ownership.armed = false;
    plan.jobs.resize(2);
    plan.started_at = kEndT0;
    plan.expected_frames = 30;
    plan.file_ds = 2;
    plan.peak_active = 2;
    plan.setup_ms = 3.21;
    plan.output_format = c.format;
    if (c.frames) {
      plan.ledger.delivered = 12;
      plan.ledger.useful_frames = 10;
      plan.first_ms = 250.5;
      plan.read_decode_ms_sum = 81.26;
      plan.read_bytes = 4096;
      plan.pixels = 2304;
      plan.first_discovered_ms = 120.0;
      plan.first_decoded_ms = 130.25;
    }
    EXPECT_EQ(pool_batch_report(plan, true, kEndT0 + 1'234'560'000), c.expected) << c.name;
  }
}

TEST(DropPoolPlan, RaisesTheFlagsAndFinishesEveryJob) {
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto second = std::make_shared<std::atomic<bool>>(false);
  auto reader = std::make_shared<ReaderFlags>();
  {
    PoolPlan plan;
    plan.stop = stop;
    plan.second_stop = second;
    plan.jobs.resize(2);
    plan.jobs[0].finished = true;     // nothing to kill
    plan.jobs[1].reader_flags = reader;  // no process: nothing is signalled
    PoolPlan moved(std::move(plan));  // the moved-from plan ends nothing
    EXPECT_FALSE(stop->load());
  }
  EXPECT_TRUE(stop->load());
  EXPECT_TRUE(second->load());
  EXPECT_TRUE((*reader)[0].load());
}

TEST(DropPoolPlan, AssigningOverAPlanEndsItFirst) {
  auto stop = std::make_shared<std::atomic<bool>>(false);
  std::optional<PoolPlan> slot;
  slot.emplace();
  slot->stop = stop;
  slot = PoolPlan{};
  EXPECT_TRUE(stop->load());
}

}  // namespace
}  // namespace vel
