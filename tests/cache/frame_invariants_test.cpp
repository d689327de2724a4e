// A random walk of inserts, evictions, focus moves, set-asides and restores,
// checking after every step what every operation must keep true.
#include <gtest/gtest.h>

#include <random>

#include "cache/archive.h"
#include "cache/eviction.h"
#include "cache/frame_cache_ops.h"
#include "cache/payload_accounting.h"
#include "frame_test_support.h"

namespace vel {
namespace {

void expect_invariants(const FrameCache& c, const char* after, int step) {
  uint64_t used = 0;
  uint64_t claimed = 0;
  for (const auto& [id, rec] : c.payloads) {
    used += rec.bytes;
    if (rec.claims > 0) claimed += rec.bytes;
  }
  ASSERT_EQ(c.used_bytes, used) << after << " step " << step;
  ASSERT_EQ(c.claimed_bytes, claimed) << after << " step " << step;
  for (const auto& [key, entry] : c.index) {
    ASSERT_TRUE(c.all_frames.contains(TimedKey::of(key))) << after << " step " << step;
    auto rec = c.payloads.find(entry.payload().identity());
    ASSERT_NE(rec, c.payloads.end()) << after << " step " << step;
    ASSERT_GE(rec->second.claims, 1u) << after << " step " << step;
  }
  ASSERT_LE(c.index.size(), c.frame_limit + (c.focus && c.index.contains(*c.focus) ? 1 : 0)) << after;
  ASSERT_LE(c.archive.size(), kMaxCachedComps);
}

TEST(FrameInvariants, RandomWalk) {
  std::mt19937 rng(20261207);
  FrameCache c;
  test::roomy(c, 600);  // a few dozen small frames
  c.frame_limit = 24;
  std::vector<RgbaFrame> panel;  // frames an outside holder keeps for a while
  for (int step = 0; step < 4000; ++step) {
    const FrameKey key{static_cast<int32_t>(rng() % 60), 24};
    const char* op = "";
    switch (rng() % 10) {
      case 0: case 1: case 2: case 3: {
        op = "insert";
        const uint32_t side = 1 + rng() % 3;
        RgbaFrame f = test::make_frame(side, side, static_cast<uint8_t>(rng() % 4));
        if (rng() % 4 == 0) panel.push_back(f);
        insert_frame(c, key, std::move(f));
        break;
      }
      case 4:
        op = "evict";
        evict_frame(c, key);
        break;
      case 5:
        op = "focus";
        c.work_range = frame_range_micros(1, 24, 0, 59);
        set_playhead_focus(c, key);
        enforce_cache_budget(c);
        break;
      case 6:
        op = "set aside";
        set_aside_comp_frames(c, rng() % 12);
        break;
      case 7:
        op = "restore";
        restore_cached_comp(c, rng() % 12);
        break;
      case 8:
        op = "panel lets go";
        if (!panel.empty()) panel.erase(panel.begin());
        reclaim_all_released_payloads(c);
        break;
      default: {
        op = "budget";
        const bool focus_cached = c.focus && contains_frame(c, *c.focus);
        c.budget_bytes = 200 + rng() % 800;
        enforce_cache_budget(c);
        ASSERT_TRUE(!focus_cached || contains_frame(c, *c.focus)) << "the focus frame was evicted, step " << step;
        ASSERT_TRUE(c.used_bytes <= cache_byte_limit(c) || (c.index.size() <= 1 && c.archive.empty()))
            << "over budget, step " << step;
        break;
      }
    }
    expect_invariants(c, op, step);
    if (HasFatalFailure()) return;
  }
  // Once nobody else holds anything and the archive is gone, every byte is the live cache's.
  panel.clear();
  reset_cache_state(c);
  clear_frame_cache(c);
  reclaim_all_released_payloads(c);
  EXPECT_EQ(c.used_bytes, 0u);
  EXPECT_TRUE(c.payloads.empty());
}

}  // namespace
}  // namespace vel
