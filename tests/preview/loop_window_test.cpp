// What a move of the playhead's window brings in and takes out, over a loop
// of frames 10..29 (20 frames), against the frames of both windows counted
// one by one.
#include "preview/loop_window.h"

#include <gtest/gtest.h>

#include <set>

namespace vel {
namespace {

std::set<int64_t> frames_of(const LoopWindow& w) {
  std::set<int64_t> out;
  for (int64_t i = 0; i < w.length; ++i) out.insert(loop_window_frame(w, i));
  return out;
}

std::set<int64_t> frames_of(const FrameRuns& runs) {
  std::set<int64_t> out;
  for (const FrameRun& r : runs) {
    EXPECT_LE(r.first, r.last) << "a run never wraps";
    for (int64_t f = r.first; f <= r.last; ++f) EXPECT_TRUE(out.insert(f).second);
  }
  return out;
}

TEST(LoopWindow, AMoveBringsInAndTakesOutExactlyTheFramesTheTwoWindowsDoNotShare) {
  const WorkAreaFrames loop{10, 29};
  struct Case {
    int64_t from, to, length;
    bool followed;  // else the caller goes through the new window whole
  } cases[] = {
      {10, 11, 8, true},   // one on
      {27, 11, 8, true},   // on round the loop's end
      {12, 10, 8, true},   // two back
      {10, 29, 8, true},   // one back round the start
      {10, 17, 8, true},   // seven on: one frame shared
      {10, 18, 8, false},  // eight on: nothing shared
      {10, 16, 15, false},  // the new window reaches round to the old start
      {10, 25, 20, true},  // the whole loop: nothing in or out
      {10, 10, 8, true},   // not moved
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.from << " -> " << c.to << " over " << c.length);
    const LoopWindow a{loop, c.from, c.length};
    const LoopWindow b{loop, c.to, c.length};
    const std::optional<WindowMove> m = loop_window_move(a, b);
    ASSERT_EQ(m.has_value(), c.followed);
    if (!m) continue;
    std::set<int64_t> in, out;
    for (int64_t f : frames_of(b)) {
      if (!frames_of(a).contains(f)) in.insert(f);
    }
    for (int64_t f : frames_of(a)) {
      if (!frames_of(b).contains(f)) out.insert(f);
    }
    EXPECT_EQ(frames_of(m->entered), in);
    EXPECT_EQ(frames_of(m->left), out);
    for (int64_t f = 0; f < 40; ++f) EXPECT_EQ(loop_window_offset(b, f).has_value(), frames_of(b).contains(f)) << f;
  }
  EXPECT_FALSE(loop_window_move(LoopWindow{loop, 10, 8}, LoopWindow{loop, 11, 9})) << "another length";
  EXPECT_FALSE(loop_window_move(LoopWindow{loop, 10, 8}, LoopWindow{{10, 30}, 11, 8})) << "other bounds";
}

}  // namespace
}  // namespace vel
