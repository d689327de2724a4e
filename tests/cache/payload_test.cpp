#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "cache/frame_cache.h"
#include "cache/eviction.h"
#include "cache/frame_cache_ops.h"
#include "cache/payload_accounting.h"
#include "frame_test_support.h"

namespace vel {
namespace {

using test::at24;
using test::make_frame;
using test::roomy;

TEST(PixelPayload, IdentityAndCapacity) {
  std::vector<uint8_t> bytes;
  bytes.reserve(100);
  bytes.resize(40, 1);
  PixelPayload p = PixelPayload::adopt(std::move(bytes));
  PixelPayload q = p;
  EXPECT_EQ(p.identity(), q.identity());
  EXPECT_EQ(p.size(), 40u);
  EXPECT_EQ(p.capacity(), 100u);  // accounted by allocation, not length
  EXPECT_EQ(p.strong_count(), 2u);
  EXPECT_NE(PixelPayload::copy_of(p.bytes()).identity(), p.identity());
}

TEST(PixelPayload, TakeBackOnlyForTheSoleHolder) {
  PixelPayload p = PixelPayload::adopt(std::vector<uint8_t>(16, 3));
  WeakPixelPayload weak = p.downgrade();
  {
    PixelPayload other = p;
    EXPECT_FALSE(p.try_take_bytes());
    EXPECT_TRUE(p);  // a refused take-back leaves the handle alone
  }
  std::optional<std::vector<uint8_t>> bytes = p.try_take_bytes();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->size(), 16u);
  EXPECT_FALSE(p);
  EXPECT_TRUE(weak.expired());
  EXPECT_FALSE(weak.upgrade());  // taken-back bytes are never reachable again
}

// The take-back and a weak upgrade race; exactly one may win, and a winning
// upgrade must see intact bytes.
TEST(PixelPayload, TakeBackNeverRacesWithUpgrade) {
  for (int round = 0; round < 200; ++round) {
    PixelPayload p = PixelPayload::adopt(std::vector<uint8_t>(64, 9));
    WeakPixelPayload weak = p.downgrade();
    std::atomic<bool> go{false};
    std::optional<PixelPayload> upgraded;
    std::thread t([&] {
      while (!go.load()) {
      }
      upgraded = weak.upgrade();
      if (upgraded) {
        for (uint8_t b : upgraded->bytes()) ASSERT_EQ(b, 9);
      }
    });
    go.store(true);
    std::optional<std::vector<uint8_t>> taken = p.try_take_bytes();
    t.join();
    if (taken) {
      EXPECT_FALSE(upgraded.has_value() && *upgraded) << "round " << round;
      EXPECT_EQ(taken->size(), 64u);
    } else {
      ASSERT_TRUE(upgraded && *upgraded) << "round " << round;
      EXPECT_EQ(upgraded->size(), 64u);
    }
  }
}

TEST(PayloadAccounting, SharedPayloadCountsOnceUntilTheLastHolderLetsGo) {
  FrameCache c;
  roomy(c);
  RgbaFrame f = make_frame(4, 4);
  const uint64_t bytes = f.pixels.capacity();
  insert_frame(c, at24(1), f);
  insert_frame(c, at24(2), f);  // same payload under a second key
  EXPECT_EQ(c.used_bytes, bytes);
  EXPECT_EQ(c.claimed_bytes, bytes);

  struct Step {
    const char* what;
    FrameKey evict;
    bool drop_outside_holder;
    uint64_t used, claimed;
  };
  PixelPayload panel = f.pixels;  // the panel still shows it
  f = RgbaFrame{};
  const Step steps[] = {
      {"one key gone: still claimed", at24(1), false, bytes, bytes},
      {"both gone, panel holds it: still used", at24(2), false, bytes, 0},
      {"panel lets go: settled", FrameKey{999, 24}, true, 0, 0},
  };
  for (const Step& s : steps) {
    if (s.drop_outside_holder) panel.reset();
    evict_frame(c, s.evict);
    EXPECT_EQ(c.used_bytes, s.used) << s.what;
    EXPECT_EQ(c.claimed_bytes, s.claimed) << s.what;
  }
  EXPECT_TRUE(c.payloads.empty());
}

TEST(PayloadAccounting, ReleasingTwiceDoesNotTakeClaimedBytesTwice) {
  FrameCache c;
  roomy(c);
  insert_frame(c, at24(1), make_frame(2, 2, 1));
  insert_frame(c, at24(2), make_frame(2, 2, 2));
  const CachedFrame first = c.index.at(at24(1));
  release_frame_payload(c, first);
  release_frame_payload(c, first);
  EXPECT_EQ(c.claimed_bytes, 16u);  // the second frame's claim is intact
}

TEST(PayloadAccounting, SoleHolderToleratesTheLastPayloadReference) {
  FrameCache c;
  roomy(c);
  insert_frame(c, at24(1), make_frame(2, 2));
  const PixelPayload& held = c.index.at(at24(1)).raw()->pixels;
  EXPECT_EQ(held.strong_count(), 2u);  // the index and the last payload
  EXPECT_TRUE(cache_sole_holder(c, held));
  PixelPayload panel = held;
  EXPECT_FALSE(cache_sole_holder(c, held));
}

}  // namespace
}  // namespace vel
