// The plug-in's idle tick against the stand-in host in this process: frames
// rendered in-process land in the frame cache, far ones are packed and come
// back raw near the playhead, and a composition switch sets the old frames
// aside and brings them back.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "cache/frame_cache_ops.h"
#include "cache/worker_registry.h"
#include "core/machine.h"
#include "host/basic_suite_store.h"
#include "host/utility_calls.h"
#include "in_process_host.h"
#include "plugin/hooks.h"
#include "plugin/preview_state.h"
#include "preview/async_render.h"
// The stand-in host.
#include "project/project_json.h"
#include "simhost/host.h"

namespace vel {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kIdleFrames = 120;       // 5 s at 24 fps: enough for frames far from the playhead
constexpr int kIdleShortFrames = 10;  // the other composition is much shorter

std::string comp_text(const std::string& name, const char* color, int frames) {
  return R"({"name": ")" + name + R"(", "width": 96, "height": 54,
    "frame_duration": [1, 24], "duration": [)" + std::to_string(frames) + R"(, 24],
    "work_area": {"start": [0, 24], "duration": [)" + std::to_string(frames) + R"(, 24]},
    "bg_color": [0.1, 0.1, 0.1], "render_cost_ms": 0,
    "layers": [{"name": "Mover",
      "solid": {"name": "A", "color": )" + color + R"(, "width": 20, "height": 14},
      "transform": {"position": {"keyframes": [
        {"time": [0, 24], "value": [5, 10], "interp": "linear"},
        {"time": [119, 24], "value": [90, 40], "interp": "linear"}]}}}]})";
}

class IdleTickCache : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(testing::install_in_process_host());
  }

  void SetUp() override {
    store_basic_suite(&sim::host().basic);
    auto project = sim::parse_project_text(R"({"active_comp": "One", "compositions": [)" +
                                           comp_text("One", "[0.9, 0.5, 0.2]", kIdleFrames) + "," +
                                           comp_text("Two", "[0.2, 0.4, 0.9]", kIdleShortFrames) + "]}");
    ASSERT_TRUE(project.ok()) << project.error();
    sim::host().project.open(std::move(project).value(), "cache.aep");
    reset_async_inbox_for_tests();
    state = new_preview_state(sim::kPluginId, PersistedOptions{});
  }

  void TearDown() override { testing::settle_and_delete(state); }

  bool tick_until(const std::function<bool()>& done, int seconds = 20) {
    return testing::tick_until(*state, done, seconds);
  }

  bool all_cached(int frames = kIdleFrames) {
    for (int f = 0; f < frames; ++f) {
      if (!contains_frame(state->cache, FrameKey{f, 24})) return false;
    }
    return true;
  }
  bool packed(int f) {
    FrameKey k{f, 24};
    return contains_frame(state->cache, k) && !cached_frame(state->cache, k);
  }
  int packed_count() {
    int n = 0;
    for (int f = 0; f < kIdleFrames; ++f) n += packed(f);
    return n;
  }

  void activate(const char* name) { ASSERT_TRUE(sim::host().project.activate(name).ok()); }
  void move_playhead(const char* comp, int frame) {
    ASSERT_TRUE(sim::host().project.move_playhead(comp, sim::HostTime{frame, 24}).ok());
  }

  PreviewState* state = nullptr;
};

TEST_F(IdleTickCache, RendersStayInBudgetFarFramesPackAndComeBackRawNearThePlayhead) {
  ASSERT_TRUE(tick_until([&] { return all_cached(); })) << "work area never fully cached";
  const FrameCache& cache = state->cache;
  EXPECT_LE(cache.used_bytes, cache_byte_limit(cache));
  EXPECT_TRUE(cached_frame(cache, FrameKey{0, 24})) << "the playhead's frame stays raw";

  // Frames more than 56 frame durations from the playhead are packed in the
  // background, one per tick.
  ASSERT_TRUE(tick_until([&] { return packed(100); })) << "far frames never packed";
  EXPECT_FALSE(packed(0));

  // The playhead moves into packed frames: they come back raw.
  move_playhead("One", 100);
  ASSERT_TRUE(tick_until([&] { return cached_frame(state->cache, FrameKey{100, 24}).has_value(); }))
      << "the playhead's frame was never unpacked";
  EXPECT_TRUE(all_cached()) << "packing and unpacking lost a frame";
}

TEST_F(IdleTickCache, SwitchingCompositionsSetsTheOldAsideAndBringsItBack) {
  ASSERT_TRUE(tick_until([&] { return all_cached(); }));
  const uint64_t one_frames = state->cache.index.size();

  activate("Two");
  ASSERT_TRUE(tick_until([&] { return !state->cache.archive.empty(); })) << "One was never set aside";
  ASSERT_TRUE(tick_until([&] { return all_cached(kIdleShortFrames); })) << "Two's frames never cached";

  // Back to One: all its frames return from the archive without a new
  // render, though Two had room for far fewer.
  const auto renders_before = sim::host().sync_renders.completed.load() + sim::host().async.counts().completed;
  activate("One");
  run_idle_steps(*state, mono_ns());
  EXPECT_GE(state->cache.index.size(), one_frames - 1);
  EXPECT_TRUE(all_cached());
  EXPECT_LE(sim::host().sync_renders.completed.load() + sim::host().async.counts().completed, renders_before + 1);
}

// A full cache, paused, a click far away: the clicked frame goes in once the
// cache's focus is on it, so that it is not the farthest frame, put out as it
// goes in and then given up for good.
TEST_F(IdleTickCache, AClickFarFromAFullCacheShowsTheClickedFrame) {
  ASSERT_TRUE(tick_until([&] { return state->preview.pinned_item.has_value(); }));
  state->cache.frame_limit = 16;
  ASSERT_TRUE(tick_until([&] { return state->cache.index.size() == 16 && all_cached(16); })) << "never filled";
  for (const int clicked : {90, 30}) {
    SCOPED_TRACE(clicked);
    // What a click on the strip does.
    state->presentation.input.held_frame = clicked;
    state->preview.current_frame = clicked;
    EXPECT_TRUE(tick_until([&] { return contains_frame(state->cache, FrameKey{clicked, 24}); }, 5))
        << "the clicked frame never went in";
    EXPECT_EQ(state->preview.counters.cache_refused, 0u);
  }
}

}  // namespace
}  // namespace vel
