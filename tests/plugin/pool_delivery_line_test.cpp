#include <gtest/gtest.h>

#include <vector>

#include "plugin/pool_pump.h"
#include "pool/runtime/pool_runtime.h"

namespace vel {
namespace {

// The window the line reports follows looping playback: it folds the
// playhead into the loop, wraps at the loop's end and counts a range once.
TEST(PoolDeliveryLine, CountsTheRangesPlaybackMeetsAhead) {
  struct Case {
    const char* name;
    std::vector<FrameRange> plan;
    int64_t playhead, lo, hi, window;
    const char* tail;
  } cases[] = {
      {"a playhead past the loop folds into it", {{40, 49}, {50, 59}, {60, 69}, {70, 79}}, 250, 0, 99, 20,
       "ranges=4 ranges_in_window=2 window=20"},
      {"the window wraps at the loop's end", {{0, 4}, {5, 9}, {90, 94}, {95, 99}}, 95, 0, 99, 10,
       "ranges=4 ranges_in_window=2 window=10"},
      {"a window as long as the loop meets every range in it", {{0, 9}, {50, 59}, {120, 130}}, 3, 0, 99, 500,
       "ranges=3 ranges_in_window=2 window=500"},
      {"a range across the wrap counts once", {{0, 99}}, 95, 0, 99, 10, "ranges=1 ranges_in_window=1 window=10"},
      {"the work area clips the ranges", {{0, 9}, {10, 19}}, 12, 10, 19, 4, "ranges=2 ranges_in_window=1 window=4"},
      {"no plan", {}, 0, 0, 99, 16, "ranges=0 ranges_in_window=0 window=16"},
  };
  const PoolRuntime rt = new_pool_runtime(kOutputPsd);
  for (const Case& c : cases) {
    EXPECT_EQ(pool_delivery_line(rt, 1, c.plan, c.playhead, c.lo, c.hi, c.window),
              std::string("DELIVERY use_pool=true reason=pool_next_batch_ready ") + c.tail +
                  " measured_first_ms=None measured_per_frame_ms=None")
        << c.name;
  }
}

// The timings the pool measured are given only for a plan like the one
// measured: the same span of frames at the same downsample.
TEST(PoolDeliveryLine, GivesTheTimingsMeasuredForAPlanLikeThisOne) {
  PoolRuntime rt = new_pool_runtime(kOutputPsd);
  rt.comp_identity = 7;
  rt.file_downsample = 2;
  DeliveryDescriptor d;
  d.comp_identity = 7;
  d.file_downsample = 2;
  d.downsample = 2;
  d.effective_step = 2;
  d.span = 20;
  d.timing_a = 812.0;
  d.per_frame_ms = 41.5;
  rt.delivery_descriptor = d;
  const struct {
    const char* name;
    std::vector<FrameRange> plan;
    uint64_t downsample;
    const char* tail;
  } cases[] = {
      {"the same span and downsample", {{0, 9}, {20, 29}}, 2,
       " measured_first_ms=Some(812.0) measured_per_frame_ms=Some(41.5)"},
      {"the preview at full size renders at the file's half", {{0, 19}}, 1,
       " measured_first_ms=Some(812.0) measured_per_frame_ms=Some(41.5)"},
      {"another span", {{0, 9}}, 2, " measured_first_ms=None measured_per_frame_ms=None"},
      {"a coarser preview", {{0, 19}}, 4, " measured_first_ms=None measured_per_frame_ms=None"},
  };
  for (const auto& c : cases) {
    const std::string line = pool_delivery_line(rt, c.downsample, c.plan, 0, 0, 99, 10);
    EXPECT_TRUE(line.ends_with(c.tail)) << c.name << ": " << line;
  }
}

}  // namespace
}  // namespace vel
