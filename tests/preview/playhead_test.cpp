// The one playhead: what the panel says of its position against the host's
// current time, which playback in the panel never moves.
#include <gtest/gtest.h>

#include <optional>

#include "preview/playhead.h"

namespace vel {
namespace {

TEST(Playhead, FollowsThePanelRatherThanTheHostsTime) {
  // 240 frames; the host's time stays at frame 3 throughout.
  constexpr int64_t kHost = 3;
  struct Case {
    const char* name;
    PanelPosition panel;
    WorkAreaFrames work_area;
    int64_t want;
  } cases[] = {
      {"no panel: the host's time", {}, {-1, -1}, kHost},
      {"paused on a click", {.asked = 200, .shown = 150}, {-1, -1}, 200},
      {"paused, the clicked frame on screen", {.shown = 150}, {-1, -1}, 150},
      {"playing: the frame after the one on screen", {.shown = 10, .playing = true}, {-1, -1}, 11},
      {"playing: after the one handed over", {.shown = 10, .awaiting = 12, .playing = true}, {-1, -1}, 13},
      {"playing: the loop wraps at OUT", {.shown = 80, .playing = true}, {20, 80}, 20},
      {"playing from before the work area: its IN", {.shown = 0, .playing = true}, {60, 179}, 60},
      {"playing from after the work area: its IN", {.shown = 230, .playing = true}, {60, 179}, 60},
      {"playing from the composition's last frame", {.shown = 239, .playing = true}, {-1, -1}, 0},
      {"play asked, nothing on screen yet: the host's time in the loop", {.playing = true}, {-1, -1}, kHost},
      {"play asked before the work area, nothing on screen yet", {.playing = true}, {60, 179}, 60},
      {"a purge while playing: from the frame that was on screen", {.asked = 87, .playing = true}, {-1, -1}, 87},
      {"an old click left once playback shows a frame", {.asked = 87, .shown = 120, .playing = true}, {-1, -1}, 121},
      {"a frame past the end is the last", {.asked = 500}, {-1, -1}, 239},
  };
  for (const Case& c : cases) {
    const Playhead p = find_playhead(c.panel, kHost, c.work_area, 240);
    EXPECT_EQ(c.want, p.frame) << c.name;
    EXPECT_EQ(c.panel.shown, p.on_screen) << c.name;
    EXPECT_EQ(c.panel.playing, p.playing) << c.name;
  }
  EXPECT_EQ(7, find_playhead({.asked = 5}, 7, {}, 0).frame) << "no frames: the host's time as it is";
}

TEST(Playhead, KeysMarkTheFrameOnScreenWhilePlaying) {
  EXPECT_EQ(87, mark_frame(Playhead{88, 87, true}));
  EXPECT_EQ(88, mark_frame(Playhead{88, std::nullopt, true})) << "nothing on screen yet";
  EXPECT_EQ(40, mark_frame(Playhead{40, 12, false})) << "paused: the frame asked for";
}

TEST(Playhead, LoopOrderEntersTheLoopAtItsFirstFrame) {
  EXPECT_EQ(70, loop_entry(70, {60, 179}));
  EXPECT_EQ(60, loop_entry(0, {60, 179}));
  EXPECT_EQ(60, loop_entry(230, {60, 179}));
  EXPECT_EQ(179, loop_entry(179, {60, 179}));
}

}  // namespace
}  // namespace vel
