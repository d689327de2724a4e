// The docked panel mounted by its creation hook in the stand-in host (in
// this process), driven through its views, and the preview reset: its fixed
// order, and requests posted before it that it must not let through. Then
// the same panel over a ten-hour composition: its strip and marks.
#include <gtest/gtest.h>

#include <cstdlib>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cache/frame_cache_ops.h"
#include "cache/worker_registry.h"
#include "core/machine.h"
#include "host/basic_suite_store.h"
#include "host/utility_calls.h"
#include "platform/appkit_display_record.h"
#include "in_process_host.h"
#include "panel/panel_views.h"
#include "panel/present/presenter_mailbox.h"
#include "panel/present/present_workers.h"
#include "panel/scrub_signals.h"
#include "plugin/command_actions.h"
#include "plugin/hooks.h"
#include "plugin/panel_steps.h"
#include "plugin/preview_reset.h"
#include "plugin/preview_state.h"
#include "preview/async_render.h"
// The stand-in host.
#include "project/project_json.h"
#include "simhost/host.h"

namespace vel {
namespace {

class PanelReset : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(testing::install_in_process_host());
    remember_main_thread();
  }

  void SetUp() override {
    ::setenv("VELOCINTA_METAL", "0", 1);  // the steps look at the CPU path's image view
    ASSERT_NO_FATAL_FAILURE(testing::open_docked_panel(R"({"active_comp": "One", "compositions": [{"name": "One",
      "width": 64, "height": 36, "frame_duration": [1, )" + rate() + R"(], "duration": [)" + frames() + ", " + rate() + R"(],
      "bg_color": [0.2, 0.3, 0.4], "layers": [{"name": "Plate", "solid": {"name": "S", "color": [0.9, 0.1, 0.1]}}]},
      {"name": "Two", "width": 32, "height": 18, "frame_duration": [1, 24], "duration": [24, 24],
      "bg_color": [0.5, 0.5, 0.5], "layers": []}]})",
                                                       "panel.aep", state, window));
  }

  void TearDown() override {
    testing::close_docked_panel(state);
    ::unsetenv("VELOCINTA_METAL");
  }

  bool tick_until(const std::function<bool()>& done, int seconds = 20) {
    return testing::tick_until(*state, done, seconds);
  }

  PanelViews& panel() { return *state->presentation.docked.views; }

  // The composition's length: 48 frames at 24 per second.
  virtual std::string frames() const { return "48"; }
  virtual std::string rate() const { return "24"; }

  // The frame on screen by the playback clock (24 per second).
  std::optional<int64_t> on_screen() const {
    const auto& shown = state->presentation.clock.shown_time;
    if (!shown) return std::nullopt;
    return shown->value;
  }

  // A drag on the strip from `from` to `to` points (strip coordinates).
  void strip_drag(double from, double to) {
    auto ev = [&](double x) {
      platform::NSEvent e;
      const platform::NSRect f = panel().strip_scrub->frame();
      e.locationInWindow = {f.x + x, f.y + 6};
      return e;
    };
    window->sendEvent(platform::NSWindow::EventType::LeftMouseDown, ev(from));
    window->sendEvent(platform::NSWindow::EventType::LeftMouseDragged, ev(to));
    window->sendEvent(platform::NSWindow::EventType::LeftMouseUp, ev(to));
  }

  PreviewState* state = nullptr;
  std::shared_ptr<platform::NSWindow> window;
};

TEST_F(PanelReset, RunsItsStepsInTheirFixedOrder) {
  ASSERT_TRUE(tick_until([&] { return panel().display_view->image() != nullptr; })) << "no frame shown";
  set_status_label(*panel().detail_label, "On hold");
  std::vector<std::string> steps;
  std::vector<bool> blank, detail_empty, cache_empty;
  reset_preview_state(*state, 0.0, [&](std::string_view step) {
    steps.emplace_back(step);
    blank.push_back(panel().display_view->image() == nullptr);
    detail_empty.push_back(panel().detail_label->stringValue().empty());
    cache_empty.push_back(state->cache.index.empty());
  });
  const std::vector<std::string> expected = {"invalidate", "panels",   "counters", "cache", "pool",
                                             "playback",   "detail",   "snapshot", "async", "pacemaker"};
  ASSERT_EQ(steps, expected);
  // The panel is blanked before the cache goes, the detail text after.
  EXPECT_EQ(blank, (std::vector<bool>{false, true, true, true, true, true, true, true, true, true}));
  EXPECT_EQ(cache_empty[2], false);
  EXPECT_EQ(cache_empty[3], true);
  EXPECT_EQ(detail_empty[5], false);
  EXPECT_EQ(detail_empty[6], true);
  EXPECT_EQ(state->presentation.controls.title_state, kPlayTitleUnknown);
  // A second reset finds nothing to do and runs the same steps.
  steps.clear();
  reset_preview_state(*state, 0.0, [&](std::string_view step) { steps.emplace_back(step); });
  EXPECT_EQ(steps, expected);
}

// The reset ends the preview session: a running raster fill's slot moves
// on (its workers stop and nothing they drew reaches the cache), the raster
// composition and the per-factor render times are let go, the raster path
// is allowed again; the cache reset drops the set-aside compositions too.
TEST_F(PanelReset, ResetsEndTheRasterSessionAndTheCacheResetEmptiesTheArchive) {
  PreviewController& ctl = state->preview;
  ASSERT_TRUE(tick_until([&] { return ctl.frame_count == 48; }));
  ctl.raster_blocked = true;
  ctl.per_factor_ms[0] = 12.0;
  const uint64_t generation = ctl.raster_slot.generation->load();
  reset_preview_state(*state, 0.0);
  EXPECT_GT(ctl.raster_slot.generation->load(), generation) << "a running fill is cancelled";
  EXPECT_FALSE(ctl.raster_comp);
  EXPECT_FALSE(ctl.raster_blocked);
  EXPECT_FALSE(ctl.per_factor_ms[0]);

  ctl.stale_archived.insert(7);
  state->cache.archive_bytes = 1234;
  reset_cache_and_preview(*state);
  EXPECT_EQ(state->cache.archive_bytes, 0u);
  EXPECT_TRUE(state->cache.archive.empty());
  EXPECT_TRUE(ctl.stale_archived.empty());
  EXPECT_GT(ctl.raster_slot.generation->load(), generation + 1) << "the preview was reset as well";
}

TEST_F(PanelReset, AMarkDragReleasedBeforeTheResetIsNotAppliedAfterIt) {
  ASSERT_TRUE(tick_until([&] { return state->preview.frame_count == 48 && state->presentation.last_strip.frame_count == 48; }));
  const WorkAreaFrames before = state->preview.work_area;
  ASSERT_EQ(before.last, 47);
  const double width = panel().strip_scrub->frame().width;
  const double out_x = width * static_cast<double>(scrub_signals().workarea_marks.load() >> 16) / 1000.0;

  strip_drag(out_x, width / 2);  // the OUT mark to the middle, released
  reset_preview_state(*state, 0.0);
  run_idle_steps(*state, mono_ns());
  EXPECT_EQ(state->preview.work_area, before);

  // The same drag without a reset moves the mark.
  strip_drag(out_x, width / 2);
  run_idle_steps(*state, mono_ns());
  EXPECT_EQ(state->preview.work_area.last, 24);
}

// A panel created when the playhead's frame is already cached shows it at
// once, and playback starts from it.
TEST_F(PanelReset, APanelOpenedOverCachedFramesStartsPlaybackFromThePlayhead) {
  window->orderOut();
  ASSERT_TRUE(tick_until([&] { return state->preview.timing && cached_frame(state->cache, FrameKey{0, 24}); }));
  window->makeKeyAndOrderFront();
  ASSERT_EQ(panel_create_hook(state, nullptr, window->contentView().get(), nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(state->preview.presented, (FrameKey{0, 24}));
  EXPECT_TRUE(tick_until([&] { return state->presentation.clock.shown_time.has_value(); })) << "the clock never started";
}

TEST_F(PanelReset, PlayClicksPauseAndScrubsHoldTheFrameUnderThePointer) {
  ASSERT_TRUE(tick_until([&] { return state->preview.frame_count == 48; }));
  run_idle_steps(*state, mono_ns());  // the panel step runs before the composition is tracked
  EXPECT_EQ(panel().detail_label->stringValue(), "VELOCINTAING\xE2\x80\xA6");
  EXPECT_EQ(panel().status_label->stringValue(), "Scrub anywhere");
  panel().play_button->performClick();
  run_idle_steps(*state, mono_ns());
  EXPECT_TRUE(state->presentation.clock.paused);
  EXPECT_EQ(panel().play_button->title(), kPlayTitle);

  // A click on the strip three quarters along shows that frame.
  const platform::NSRect strip = panel().strip_scrub->frame();
  platform::NSEvent e;
  e.locationInWindow = {strip.x + strip.width * 0.75, strip.y + 6};
  platform::NSEvent::setPressedMouseButtons(1);
  window->sendEvent(platform::NSWindow::EventType::LeftMouseDown, e);
  platform::NSEvent::setPressedMouseButtons(0);
  window->sendEvent(platform::NSWindow::EventType::LeftMouseUp, e);
  ASSERT_TRUE(tick_until([&] { return state->preview.presented == FrameKey{36, 24}; })) << "scrubbed frame not shown";
  EXPECT_EQ(state->preview.playhead.frame, 36);
  EXPECT_EQ(state->preview.current_frame, 0) << "the host's time stays";

  panel().play_button->performClick();
  run_idle_steps(*state, mono_ns());
  EXPECT_FALSE(state->presentation.clock.paused);
  EXPECT_EQ(panel().play_button->title(), kPauseTitle);
}

// Playing, the pixels worker has finished the next frame but the panel has
// not collected it when pause is pressed: the tick that takes the pause up
// leaves the picture as it was at the press, and the pause holds that frame.
TEST_F(PanelReset, APauseKeepsThePictureOfThePressNotTheFramePreparedBehindIt) {
  ASSERT_TRUE(panel().cpu && panel().cpu->has_worker());
  PresenterMailbox& box = *panel().cpu->mailbox();
  const uint64_t view = panel().cpu->view().viewId();
  const PlaybackClock& clock = state->presentation.clock;
  auto prepared_uncollected = [&] {
    std::lock_guard lock(box.mutex);
    return box.retained.has_value();
  };
  // A step that hands the next frame to the worker, then the worker's result.
  ASSERT_TRUE(tick_until([&] { return state->preview.frame_count == 48 && on_screen() >= 2 && clock.awaiting; }))
      << "playback did not start";
  for (int i = 0; i < 2000 && !prepared_uncollected(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(prepared_uncollected()) << "the worker prepared nothing";
  const int64_t pressed_at = *on_screen();
  const uint64_t images = platform::shown_image(view)->images_set;

  panel().play_button->performClick();
  run_idle_steps(*state, mono_ns());
  ASSERT_TRUE(clock.paused);
  EXPECT_EQ(platform::shown_image(view)->images_set, images) << "the prepared frame reached the screen";
  EXPECT_EQ(on_screen(), pressed_at);
  EXPECT_EQ(state->presentation.input.held_frame, pressed_at);
  for (int i = 0; i < 5; ++i) run_idle_steps(*state, mono_ns());
  EXPECT_EQ(platform::shown_image(view)->images_set, images) << "nor after the pause";
  EXPECT_EQ(on_screen(), pressed_at);
}

// Only the play control toggles the pause: one pressed as the panel opens,
// before the composition is taken up, holds, and so it does across "Purge
// Velocinta" and a switch to another composition and back.
TEST_F(PanelReset, APauseHoldsUntilThePlayControl) {
  PreviewController& ctl = state->preview;
  const PlaybackClock& clock = state->presentation.clock;
  panel().play_button->performClick();
  ASSERT_TRUE(tick_until([&] { return ctl.frame_count == 48 && on_screen(); })) << "no first picture";
  auto still_paused = [&](const char* after) {
    for (int i = 0; i < 20; ++i) run_idle_steps(*state, mono_ns());
    EXPECT_TRUE(clock.paused) << after;
    EXPECT_FALSE(clock.playing) << after;
    EXPECT_EQ(panel().play_button->title(), kPlayTitle) << after;
    EXPECT_EQ(on_screen(), std::optional<int64_t>(0)) << after << ": the picture stays";
  };
  still_paused("the composition taken up");

  cmd_purge_caches(*state);
  ASSERT_TRUE(tick_until([&] { return on_screen().has_value(); }));
  still_paused("a purge");

  ASSERT_TRUE(sim::host().project.activate("Two").ok());
  ASSERT_TRUE(tick_until([&] { return ctl.frame_count == 24 && on_screen(); }));
  still_paused("a switch");
  ASSERT_TRUE(sim::host().project.activate("One").ok());
  ASSERT_TRUE(tick_until([&] { return ctl.frame_count == 48 && on_screen(); }));
  still_paused("the switch back");

  panel().play_button->performClick();
  ASSERT_TRUE(tick_until([&] { return on_screen() > 3; })) << "the play control plays";
}

// Playing, "o" and "i" put OUT and IN at the frame on screen (the host's
// time stays at 0), the host's composition takes the new work area and
// playback goes on inside it; a purge goes on from the frame on screen.
TEST_F(PanelReset, KeysAndAPurgeWhilePlayingFollowTheFrameOnScreen) {
  PreviewController& ctl = state->preview;
  ScrubSignals& sig = scrub_signals();
  ASSERT_TRUE(tick_until([&] { return ctl.frame_count == 48 && on_screen() >= 30; })) << "playback did not start";
  const int64_t out_at = *on_screen();
  sig.mark_out_requests.fetch_add(1, std::memory_order_acq_rel);
  run_idle_steps(*state, mono_ns());
  EXPECT_EQ(ctl.work_area.last, out_at);
  EXPECT_EQ(ctl.work_area.first, 0);
  EXPECT_EQ(ctl.current_frame, 0) << "the host's time did not move";
  run_idle_steps(*state, mono_ns());  // read back from the host
  EXPECT_EQ(ctl.work_area.last, out_at) << "the host's composition kept the new work area";

  // Round the loop 0..OUT, never past OUT.
  bool wrapped = false;
  ASSERT_TRUE(tick_until([&] {
    EXPECT_LE(on_screen().value_or(0), out_at);
    wrapped = wrapped || on_screen() < out_at;
    return wrapped && on_screen() >= 5;
  })) << "playback stopped inside the new work area";
  EXPECT_FALSE(state->presentation.clock.paused);

  const int64_t in_at = *on_screen();
  sig.mark_in_requests.fetch_add(1, std::memory_order_acq_rel);
  run_idle_steps(*state, mono_ns());
  EXPECT_EQ(ctl.work_area.first, in_at);
  EXPECT_EQ(ctl.work_area.last, out_at);

  ASSERT_TRUE(tick_until([&] { return on_screen() == out_at; }));
  ASSERT_TRUE(tick_until([&] { return on_screen() > in_at && on_screen() < out_at; }));
  const int64_t purged_at = *on_screen();
  cmd_purge_caches(*state);
  ASSERT_TRUE(tick_until([&] { return ctl.presented.has_value(); }));
  EXPECT_EQ(ctl.presented, (FrameKey{static_cast<int32_t>(purged_at), 24})) << "goes on from the frame on screen";
  EXPECT_FALSE(state->presentation.clock.paused);
  ASSERT_TRUE(tick_until([&] { return on_screen() != purged_at; })) << "and plays on";
}

// The pool's status: its wait for the user's save takes the detail text
// before the busy text, and suspended templates name the render settings.
TEST_F(PanelReset, ThePoolsWaitForASaveAndItsSuspensionShowInThePanel) {
  ASSERT_TRUE(tick_until([&] { return state->preview.frame_count == 48; }));
  state->pool.save_required = true;
  run_idle_steps(*state, mono_ns());
  EXPECT_EQ(panel().detail_label->stringValue(), "Save the project (Cmd+S) to unlock the render engines");
  state->pool.save_required = false;
  run_idle_steps(*state, mono_ns());
  EXPECT_NE(panel().detail_label->stringValue(), "Save the project (Cmd+S) to unlock the render engines");
  // A pool turned off for the session says so while the user has it on.
  state->pool.pool_enabled = true;
  state->pool.disabled_for_session = true;
  run_idle_steps(*state, mono_ns());
  EXPECT_EQ(panel().detail_label->stringValue(), "Render engines off for this session: see velocinta.log");
  state->pool.pool_enabled = false;
  state->pool.disabled_for_session = false;

  EXPECT_EQ(panel().status_label->stringValue(), "Scrub anywhere");
  state->pool.templates_ready = 2;
  run_idle_steps(*state, mono_ns());
  EXPECT_EQ(panel().status_label->stringValue(), "Pool unavailable: render settings");
}

}  // namespace
}  // namespace vel

namespace vel {
namespace {

// Ten hours at 30 frames a second: the strip shows the cached part, the
// frame on screen and the marks, a click seeks to the frame under it and the
// IN mark can be grabbed and moved.
class TenHourPanel : public PanelReset {
 protected:
  std::string frames() const override { return std::to_string(kFrames); }
  std::string rate() const override { return "30"; }
  static constexpr int64_t kFrames = 10 * 3600 * 30;
};

TEST_F(TenHourPanel, TheStripShowsTheCachedPartAndItsMarksAndClicksAndMarkDragsReachTheirFrames) {
  const StripPicture& strip = state->presentation.last_strip;
  auto any_lit = [&] { return std::find(strip.lit.begin(), strip.lit.end(), 1) != strip.lit.end(); };
  ASSERT_TRUE(tick_until([&] { return strip.frame_count == kFrames && any_lit(); })) << "no cached part on the strip";
  EXPECT_EQ(strip.lit.front(), 1) << "the frames from the playhead on are the first column's";
  EXPECT_NE(panel().strip_view->image(), nullptr);
  const uint64_t marks = scrub_signals().workarea_marks.load();
  EXPECT_EQ(marks & 0xFFFF, 0u);
  EXPECT_EQ((marks >> 16) & 0xFFFF, 1000u);

  const double width = panel().strip_scrub->frame().width;
  strip_drag(width * 0.75, width * 0.75);  // a click three quarters of the way
  ASSERT_TRUE(tick_until([&] { return strip.shown_column == strip_shown_column(810000, kFrames, strip.width_px); }))
      << "the strip's playhead is not at the click";
  EXPECT_EQ(state->preview.playhead.frame, 810000);

  strip_drag(0, width / 2);  // the IN mark to the middle
  ASSERT_TRUE(tick_until([&] { return (scrub_signals().workarea_marks.load() & 0xFFFF) == 500; }))
      << "the IN mark was not drawn where it was left";
  EXPECT_EQ(state->preview.work_area.first, 540000);
  EXPECT_EQ(state->preview.work_area.last, kFrames - 1);
}

}  // namespace
}  // namespace vel
