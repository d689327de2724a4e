#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <unordered_set>

#include "cache/frame_key.h"

namespace vel {
namespace {

TEST(FrameKey, EqualityNeedsBothFields) {
  struct Case {
    FrameKey a, b;
    bool equal;
  };
  const Case cases[] = {
      {{1, 24}, {1, 24}, true},
      {{1, 24}, {2, 48}, false},  // same instant, not reduced
      {{0, 0}, {0, 1}, false},
      {{-1, 24}, {1, 24}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.a.value << "/" << c.a.scale << " vs " << c.b.value << "/" << c.b.scale;
  }
  std::unordered_set<FrameKey, FrameKeyHasher> set{{1, 24}, {2, 48}, {1, 24}};
  EXPECT_EQ(set.size(), 2u);
}

TEST(FrameKey, MicrosecondsRoundAndTreatZeroScaleAsZero) {
  struct Case {
    FrameKey key;
    int64_t micros;
  };
  const Case cases[] = {
      {{1, 24}, 41667},           // 41666.67 rounds up
      {{2, 48}, 41667},
      {{1, 3}, 333333},           // 333333.33 rounds down
      {{-1, 24}, -41667},         // away from zero
      {{1001, 30000}, 33367},     // NTSC frame
      {{12345, 0}, 0},
      {{std::numeric_limits<int32_t>::max(), 1}, int64_t{std::numeric_limits<int32_t>::max()} * 1'000'000},
      {{std::numeric_limits<int32_t>::min(), 1}, int64_t{std::numeric_limits<int32_t>::min()} * 1'000'000},
  };
  for (const Case& c : cases) EXPECT_EQ(key_micros(c.key), c.micros) << c.key.value << "/" << c.key.scale;
}

TEST(FrameKey, TimeOrderIsMicrosThenValueThenScale) {
  // Listed in the expected order.
  const FrameKey ordered[] = {
      {-24, 24},  // -1 s
      {-5, 0},    // scale 0: time 0, then by value
      {0, 24},
      {0, 25},
      {3, 0},
      {1, 48},    // 20833 µs
      {1, 24},    // 41667 µs, value 1 before value 2
      {2, 48},    // same µs, larger value
      {1, 1},
  };
  std::set<TimedKey> set;
  for (const FrameKey& k : ordered) set.insert(TimedKey::of(k));
  ASSERT_EQ(set.size(), std::size(ordered));
  size_t i = 0;
  for (const TimedKey& t : set) {
    EXPECT_EQ(t.key, ordered[i]) << "position " << i;
    ++i;
  }
  // Same µs and value, scale unsigned.
  EXPECT_TRUE(frame_key_time_less({0, 1}, {0, 0xFFFFFFFFu}));
}

}  // namespace
}  // namespace vel
