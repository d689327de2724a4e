// Panel input made in one turn of the host's loop (between two idle calls)
// is taken in the order it came, each gesture against the frame on screen at
// its turn: a key before a strip click marks the frame shown before the
// click, a key after it the clicked frame, paused and playing, on a short
// composition and on a ten-hour one. The docked panel is mounted by its
// creation hook in the stand-in host (in this process) and driven through
// its window, on the CPU path, whose picture the clock's shown frame is.
#include <gtest/gtest.h>

#include <cstdlib>

#include <optional>
#include <string>
#include <vector>

#include "in_process_host.h"
#include "panel/panel_views.h"
#include "panel/present/present_workers.h"
#include "panel/scrub_signals.h"
#include "platform/appkit_view.h"
#include "plugin/hooks.h"
#include "plugin/panel_steps.h"
#include "plugin/preview_state.h"
#include "preview/work_area.h"
// The stand-in host.
#include "project/project_json.h"
#include "simhost/host.h"

namespace vel {
namespace {

// One gesture of a turn: a key ("i" or "o"), a click on the strip at a
// position in thousandths of its width, or the OUT mark dragged there.
struct Gesture {
  enum Kind { Key, Click, DragOut } kind;
  char key = 0;
  uint64_t at = 0;
};
Gesture key(char c) { return {Gesture::Key, c, 0}; }
Gesture click(uint64_t thousandths) { return {Gesture::Click, 0, thousandths}; }
Gesture drag_out(uint64_t thousandths) { return {Gesture::DragOut, 0, thousandths}; }

// Where the mark asked for should land: at the frame on screen before the
// turn, or at a strip position's frame.
constexpr uint64_t kShownBefore = UINT64_MAX;

struct TurnCase {
  const char* name;
  bool playing;
  std::vector<Gesture> turn;
  char mark;                // 'i' for IN, 'o' for OUT
  uint64_t mark_at;         // kShownBefore or thousandths of the strip
  uint64_t picture_at;      // thousandths of the strip: the frame shown after the turn
};

// Paused, the frame on screen before the turn is the one a first click put
// there (at 210 thousandths); playing, the one the clock shows then.
constexpr uint64_t kPausedAt = 210;

const TurnCase kCases[] = {
    {"PausedKeyThenClick", false, {key('o'), click(850)}, 'o', kShownBefore, 850},
    {"PausedClickThenKey", false, {click(850), key('o')}, 'o', 850, 850},
    {"PausedKeyBetweenTwoClicks", false, {click(600), key('o'), click(850)}, 'o', 600, 850},
    {"PausedKeyThenMarkDrag", false, {key('o'), drag_out(500)}, 'o', 500, kPausedAt},
    {"PausedMarkDragThenKey", false, {drag_out(500), key('o')}, 'o', kShownBefore, kPausedAt},
    {"PlayingKeyThenClick", true, {key('i'), click(850)}, 'i', kShownBefore, 850},
    {"PlayingClickThenKey", true, {click(850), key('i')}, 'i', 850, 850},
};

struct TurnComp {
  const char* name;
  int64_t frames;
  int rate;
};
const TurnComp kTurnComps[] = {{"Short", 48, 24}, {"TenHours", 10 * 3600 * 24, 24}};

class InputOrder : public ::testing::TestWithParam<std::tuple<TurnComp, TurnCase>> {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(testing::install_in_process_host());
    remember_main_thread();
  }

  void SetUp() override {
    ::setenv("VELOCINTA_METAL", "0", 1);  // the clock's shown frame is the CPU path's picture
    const TurnComp& c = comp();
    const std::string rate = std::to_string(c.rate), frames = std::to_string(c.frames);
    ASSERT_NO_FATAL_FAILURE(testing::open_docked_panel(R"({"active_comp": "One", "compositions": [{"name": "One",
      "width": 64, "height": 36, "frame_duration": [1, )" + rate + R"(], "duration": [)" + frames + ", " + rate +
                                                           R"(], "bg_color": [0.2, 0.3, 0.4],
      "layers": [{"name": "Plate", "solid": {"name": "S", "color": [0.9, 0.1, 0.1]}}]}]})",
                                                       "order.aep", state, window));
  }

  void TearDown() override {
    testing::close_docked_panel(state);
    ::unsetenv("VELOCINTA_METAL");
  }

  const TurnComp& comp() const { return std::get<0>(GetParam()); }
  const TurnCase& turn_case() const { return std::get<1>(GetParam()); }
  PanelViews& panel() { return *state->presentation.docked.views; }

  std::optional<int64_t> on_screen() const {
    const auto& shown = state->presentation.clock.shown_time;
    if (!shown) return std::nullopt;
    return shown->value;  // one tick a frame
  }
  int64_t frame_at(uint64_t thousandths) const { return frame_at_strip_position(thousandths, comp().frames); }

  bool tick_until(const std::function<bool()>& done) { return testing::tick_until(*state, done, 60); }

  platform::NSEvent strip_event(double x) {
    platform::NSEvent e;
    const platform::NSRect f = panel().strip_scrub->frame();
    e.locationInWindow = {f.x + x, f.y + 6};
    return e;
  }
  double strip_x(uint64_t thousandths) { return panel().strip_scrub->frame().width * static_cast<double>(thousandths) / 1000.0; }

  void send(const Gesture& g) {
    using T = platform::NSWindow::EventType;
    switch (g.kind) {
      case Gesture::Key: {
        platform::NSEvent k;
        k.charactersIgnoringModifiers = std::string(1, g.key);
        window->sendEvent(T::KeyDown, k);
        break;
      }
      case Gesture::Click:
        window->sendEvent(T::LeftMouseDown, strip_event(strip_x(g.at)));
        window->sendEvent(T::LeftMouseUp, strip_event(strip_x(g.at)));
        break;
      case Gesture::DragOut: {
        // Grabbed within reach, inside the strip when the mark is at its end.
        const double out_x = strip_x(scrub_signals().workarea_marks.load() >> 16) - 2.0;
        window->sendEvent(T::LeftMouseDown, strip_event(out_x));
        window->sendEvent(T::LeftMouseDragged, strip_event(strip_x(g.at)));
        window->sendEvent(T::LeftMouseUp, strip_event(strip_x(g.at)));
        break;
      }
    }
  }

  PreviewState* state = nullptr;
  std::shared_ptr<platform::NSWindow> window;
};

TEST_P(InputOrder, EachGestureOfATurnActsOnTheFrameOnScreenAtItsTurn) {
  const TurnCase& c = turn_case();
  const PreviewController& ctl = state->preview;
  ASSERT_TRUE(tick_until([&] {
    return ctl.frame_count == comp().frames && state->presentation.last_strip.frame_count == comp().frames &&
           on_screen().has_value();
  })) << "no picture";
  if (c.playing) {
    // Far from the frame the turn's click asks for.
    ASSERT_TRUE(tick_until([&] { return on_screen() >= 3 && on_screen() <= 30 && state->presentation.clock.playing; }))
        << "playback did not start";
    window->makeFirstResponder(panel().picture_scrub.get());
  } else {
    panel().play_button->performClick();
    send(click(kPausedAt));
    ASSERT_TRUE(tick_until([&] { return state->presentation.clock.paused && on_screen() == frame_at(kPausedAt); }))
        << "the click before the turn was not shown";
  }
  const WorkAreaFrames area = ctl.work_area;
  const int64_t before = *on_screen();

  for (const Gesture& g : c.turn) send(g);
  run_idle_steps(*state, mono_ns());

  const int64_t want = c.mark_at == kShownBefore ? before : frame_at(c.mark_at);
  if (c.mark == 'i') {
    EXPECT_EQ(ctl.work_area.first, want) << "on screen before the turn: " << before;
  } else {
    EXPECT_EQ(ctl.work_area.first, area.first);
    EXPECT_EQ(ctl.work_area.last, want) << "on screen before the turn: " << before;
  }
  EXPECT_TRUE(state->presentation.clock.paused);
  EXPECT_TRUE(tick_until([&] { return on_screen() == frame_at(c.picture_at); }))
      << "the picture is " << on_screen().value_or(-1) << ", not the frame asked for";
}

INSTANTIATE_TEST_SUITE_P(Turns, InputOrder, ::testing::Combine(::testing::ValuesIn(kTurnComps), ::testing::ValuesIn(kCases)),
                         [](const ::testing::TestParamInfo<InputOrder::ParamType>& info) {
                           return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

}  // namespace
}  // namespace vel
