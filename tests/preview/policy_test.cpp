#include <gtest/gtest.h>

#include "preview/downsample_policy.h"
#include "preview/edit_detection.h"

namespace vel {
namespace {

TEST(DownsamplePolicy, QualityFactors) {
  const std::pair<uint64_t, uint32_t> cases[] = {{0, 8}, {1, 4}, {2, 2}, {3, 1}, {4, 1}, {UINT64_MAX, 1}};
  for (auto [q, want] : cases) EXPECT_EQ(want, quality_downsample_factor(q)) << q;
}

TEST(DownsamplePolicy, MemoryFactorIsTheFinestThatFits) {
  const uint64_t full = 1920ull * 1080 * 4;  // one full-size frame
  struct Case {
    const char* name;
    uint32_t w, h;
    uint64_t frames, budget;
    uint32_t want;
  } cases[] = {
      {"fits at full size", 1920, 1080, 240, 240 * full, 1},
      {"one byte short", 1920, 1080, 240, 240 * full - 1, 2},
      {"half size rounds up", 1921, 1081, 1, 961ull * 541 * 4, 2},
      {"quarter", 1920, 1080, 100, 100 * full / 16, 4},
      {"nothing fits", 1920, 1080, 1'000'000, 1000, 16},
      {"unknown size", 0, 1080, 240, 1, 1},
      {"no frames", 1920, 1080, 0, 1, 1},
      {"product past 64 bits", 0xFFFFFFFF, 0xFFFFFFFF, UINT64_MAX, UINT64_MAX, 16},
  };
  for (const auto& c : cases) EXPECT_EQ(c.want, memory_downsample_factor(c.w, c.h, c.frames, c.budget)) << c.name;
}

TEST(DownsamplePolicy, EffectiveIsTheCoarserWithinRange) {
  struct Case {
    DownsamplePolicy p;
    uint32_t want;
  } cases[] = {{{4, 1}, 4}, {{1, 8}, 8}, {{2, 2}, 2}, {{0, 0}, 1}, {{32, 1}, 16}};
  for (const auto& c : cases) EXPECT_EQ(c.want, effective_downsample(c.p));
}

TEST(DownsamplePolicy, BudgetScalesWithPressureWithoutOverflow) {
  EXPECT_EQ(12'000'000u, preview_budget_bytes(100'000'000, 100));
  EXPECT_EQ(6'000'000u, preview_budget_bytes(100'000'000, 50));
  EXPECT_EQ(1u, preview_budget_bytes(0, 100));
  EXPECT_GT(preview_budget_bytes(UINT64_MAX, 100), preview_budget_bytes(UINT64_MAX, 75));
}

TEST(EditDetection, StampsAndQuietWindow) {
  const ProjectStamp a{1, 0, 0, 0}, b{1, 0, 0, 1};
  EditTracker t;
  EXPECT_FALSE(note_project_stamp(t, a, 1000)) << "the first read is the baseline";
  EXPECT_TRUE(edit_quiet_elapsed(t, false, 1000)) << "no edit stamped yet";
  EXPECT_FALSE(note_project_stamp(t, a, 2000));
  EXPECT_TRUE(note_project_stamp(t, b, 5'000'000'000));
  EXPECT_EQ(1u, t.edits);

  struct Case {
    const char* name;
    bool forced;
    uint64_t now;
    bool want;
  } cases[] = {
      {"just edited", false, 5'000'000'000, false},
      {"199 ms", false, 5'199'999'999, false},
      {"200 ms", false, 5'200'000'000, true},
      {"forced", true, 5'000'000'001, true},
      {"clock went back", false, 4'000'000'000, false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.want, edit_quiet_elapsed(t, c.forced, c.now)) << c.name;

  EXPECT_FALSE(note_project_stamp(t, b, 6'000'000'000)) << "the new stamp became the baseline";
  EXPECT_TRUE(note_project_stamp(t, a, 7'000'000'000)) << "going back to an older stamp is an edit too";
}

}  // namespace
}  // namespace vel
