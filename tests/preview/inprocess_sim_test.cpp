// The preview controller against the stand-in host, in this process: the
// host's suites are the stand-in's own tables, its asynchronous renders come
// back on its render thread, and frames are checked against its renderer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cache/frame_cache.h"
#include "cache/frame_cache_ops.h"
#include "core/log.h"
#include "core/machine.h"
#include "core/options.h"
#include "host/basic_suite_store.h"
#include "host/item_calls.h"
#include "host/render_calls.h"
#include "host/suite_access.h"
#include "hostsdk/render.h"
#include "preview/async_render.h"
#include "preview/preview_controller.h"
// The stand-in host.
#include "project/project_json.h"
#include "render/renderer.h"
#include "simhost/host.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

// 64×36, 12 frames at 24 fps, work area frames 2..9; a keyframed
// half-transparent solid over a static one.
std::string comp_text(const std::string& name, int cost_ms, const char* base_color) {
  return R"({
    "name": ")" + name + R"(", "width": 64, "height": 36,
    "frame_duration": [1, 24], "duration": [12, 24],
    "work_area": {"start": [2, 24], "duration": [8, 24]},
    "bg_color": [0.1, 0.1, 0.1], "render_cost_ms": )" +
         std::to_string(cost_ms) + R"(,
    "layers": [
      {"name": "Mover", "blend_mode": "screen",
       "solid": {"name": "A", "color": [0.9, 0.5, 0.2], "width": 20, "height": 14},
       "transform": {
         "position": {"keyframes": [
           {"time": [0, 24], "value": [5, 10], "interp": "linear"},
           {"time": [11, 24], "value": [60, 30], "interp": "linear"}]},
         "opacity": 55}},
      {"name": "Base",
       "solid": {"name": "B", "color": )" + base_color + R"(, "width": 40, "height": 30},
       "transform": {"position": [30, 16], "opacity": 80}}
    ]})";
}

std::string project_text(int cost_ms) {
  return R"({"active_comp": "Tiny", "compositions": [)" + comp_text("Tiny", cost_ms, "[0.2, 0.3, 0.7]") + "]}";
}

// Two compositions with the same timing: their frames share every key.
std::string two_comp_text() {
  return R"({"active_comp": "One", "compositions": [)" + comp_text("One", 0, "[0.2, 0.3, 0.7]") + "," +
         comp_text("Two", 0, "[0.8, 0.1, 0.1]") + "]}";
}

using Clock = std::chrono::steady_clock;

class InProcessSim : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sim::Host& h = sim::host();
    h.main_thread = std::this_thread::get_id();
    static bool installed = false;
    if (!installed) {
      sim::install_suites(h);
      installed = true;
    }
    store_basic_suite(&h.basic);
  }

  void open_project(int cost_ms) { open_text(project_text(cost_ms)); }
  void open_text(const std::string& text) {
    auto project = sim::parse_project_text(text);
    ASSERT_TRUE(project.ok()) << project.error();
    sim::host().project.open(std::move(project).value(), "tiny.aep");
  }

  void SetUp() override {
    open_project(0);
    sim::host().modal = false;
    reset_async_inbox_for_tests();
    ctl = make_preview_controller(sim::kPluginId, mono_ns());
  }

  void TearDown() override {
    cancel_async_renders(ctl);
    // Every request comes back, cancelled or not; take them all before the
    // next test reuses the process-wide inbox.
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (async_renders_in_flight() > 0 && Clock::now() < until) {
      (void)take_async_deliveries();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  PreviewTickReport tick(bool modal = false) {
    PreviewTickInputs in;
    in.now_ns = mono_ns();
    in.modal = modal;
    in.work_area_signals = signals;
    in.pool_engaged = pool_engaged;
    in.pool_pending = pool_pending;
    in.pool_given_up = pool_given_up;
    in.panel = panel;
    return preview_idle_step(ctl, cache, in);
  }

  // Ticks until `done` holds; false after `seconds`.
  bool tick_until(const std::function<bool()>& done, int seconds = 10) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
      tick();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  bool work_area_cached() {
    for (int f = 2; f <= 9; ++f) {
      if (!contains_frame(cache, FrameKey{f, 24})) return false;
    }
    return true;
  }

  // The stand-in's own render as 8-bit premultiplied RGBA.
  static std::vector<uint8_t> host_render(int32_t value, uint32_t scale, int ds, int depth, size_t comp = 0) {
    auto snap = sim::host().project.snapshot();
    sim::RenderRequest req;
    req.time = sim::HostTime{value, scale};
    req.downsample_x = req.downsample_y = ds;
    req.depth = depth;
    auto frame = sim::render_composition(snap->comps[comp], req);
    EXPECT_TRUE(frame.ok());
    std::vector<uint8_t> out;
    for (float v : frame.value().rgba) out.push_back(sim::to_8bit(v));
    return out;
  }

  static int worst_difference(const std::vector<uint8_t>& a, std::span<const uint8_t> b) {
    if (a.size() != b.size()) return 256;
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    return worst;
  }

  void activate(size_t comp) {
    auto st = sim::host().project.modify([comp](sim::Project& p) {
      p.active_comp = comp;
      return sim::Status(sim::done());
    });
    ASSERT_TRUE(st.ok());
  }

  void expect_work_area_shows(size_t comp) {
    const uint32_t ds = effective_downsample(ctl);
    for (int f = 2; f <= 9; ++f) {
      auto frame = cached_frame(cache, FrameKey{f, 24});
      ASSERT_TRUE(frame) << f;
      EXPECT_EQ(0, worst_difference(host_render(f, 24, ds, 8, comp), frame->pixels.bytes()))
          << "frame " << f << " of composition " << comp;
    }
  }

  // A new controller over an empty cache, with or without the host's
  // render manager.
  void start_afresh(bool async) {
    clear_frame_cache(cache);
    ctl = make_preview_controller(sim::kPluginId, mono_ns());
    ctl.async_allowed = async;
  }

  void set_current_frame(int frame) {
    auto st = sim::host().project.modify([frame](sim::Project& p) {
      p.comps[0].current_time = sim::HostTime{frame, 24};
      return sim::Status(sim::done());
    });
    ASSERT_TRUE(st.ok());
  }

  FrameCache cache;
  PreviewController ctl;
  WorkAreaSignals signals;
  bool pool_engaged = false;
  std::vector<std::pair<int64_t, int64_t>> pool_pending;
  std::vector<std::pair<int64_t, int64_t>> pool_given_up;
  PanelPosition panel;  // where the panel stands
};

TEST_F(InProcessSim, SynchronousPathFillsTheWorkAreaWithTheHostsPixels) {
  ctl.async_allowed = false;
  set_current_frame(2);  // inside the work area: only its frames are wanted
  ASSERT_TRUE(tick_until([&] { return work_area_cached(); }));
  EXPECT_EQ(8u, ctl.counters.sync_frames);
  EXPECT_EQ(0u, ctl.counters.async_submitted);
  EXPECT_FALSE(contains_frame(cache, FrameKey{1, 24})) << "outside the work area";
  const uint32_t ds = effective_downsample(ctl);
  for (int f = 2; f <= 9; ++f) {
    auto frame = cached_frame(cache, FrameKey{f, 24});
    ASSERT_TRUE(frame) << f;
    EXPECT_EQ(0, worst_difference(host_render(f, 24, ds, 8), frame->pixels.bytes())) << "frame " << f;
  }
}

TEST_F(InProcessSim, AsynchronousPathRendersAllButThePlayheadsFrame) {
  ASSERT_TRUE(ctl.async_allowed) << "VELOCINTA_ASYNC must not be 0 for this test";
  set_current_frame(4);
  ASSERT_TRUE(tick_until([&] { return work_area_cached(); }));
  EXPECT_EQ(1u, ctl.counters.sync_frames) << "the playhead's frame is rendered at once";
  EXPECT_EQ(7u, ctl.counters.async_frames);
  EXPECT_EQ(0u, ctl.counters.async_stale);
  const uint32_t ds = effective_downsample(ctl);
  for (int f = 2; f <= 9; ++f) {
    auto frame = cached_frame(cache, FrameKey{f, 24});
    ASSERT_TRUE(frame);
    EXPECT_EQ(0, worst_difference(host_render(f, 24, ds, 8), frame->pixels.bytes())) << "frame " << f;
  }
}

TEST_F(InProcessSim, ResultsOfBeforeAnEditAreDroppedAndCountedNeverCached) {
  open_project(15);  // slow enough that requests are still out when the edit comes
  set_current_frame(2);
  const uint64_t completed_before = sim::host().async.counts().completed;
  ASSERT_TRUE(tick_until([&] { return ctl.counters.async_submitted >= 4; }));
  // Let some requests finish so their results wait in the inbox.
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (sim::host().async.counts().completed < completed_before + 1 && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const uint64_t cached_before = ctl.counters.async_frames;
  ASSERT_TRUE(sim::host().project.edit("/compositions/0/layers/1/solid/color", {0.9, 0.9, 0.1}).ok());
  auto report = tick();
  EXPECT_TRUE(report.edited);
  EXPECT_EQ(cached_before, ctl.counters.async_frames) << "nothing of the old project was cached";
  EXPECT_EQ(0u, report.sync_cached + report.async_submitted) << "renders wait for the edit to settle";

  ASSERT_TRUE(tick_until([&] { return work_area_cached() && async_renders_in_flight() == 0; }));
  const uint64_t outstanding_at_edit = 4;
  EXPECT_GE(ctl.counters.async_stale + ctl.counters.async_cancelled, outstanding_at_edit - (cached_before > 0))
      << "every request out at the edit came back dropped";
  EXPECT_GE(ctl.counters.async_stale, 1u) << "a finished result collected after the edit is stale";
  const uint32_t ds = effective_downsample(ctl);
  for (int f = 2; f <= 9; ++f) {
    auto frame = cached_frame(cache, FrameKey{f, 24});
    ASSERT_TRUE(frame);
    EXPECT_EQ(0, worst_difference(host_render(f, 24, ds, 8), frame->pixels.bytes())) << "frame " << f << " shows the edit";
  }
}

// The pool's claims keep the asynchronous renderer off their frames, and
// every in-process render's time is told to the pool with its road.
TEST_F(InProcessSim, FramesThePoolClaimsAreLeftToItAndRenderTimesAreReported) {
  std::vector<uint32_t> asked_at;
  std::vector<std::string> reasons;
  ctl.pool_link.claimed_ranges = [&](uint32_t ds) {
    asked_at.push_back(ds);
    return std::vector<PoolFrameRange>{{6, 9}};
  };
  ctl.pool_link.render_timed = [&](std::string_view reason, double ms) {
    EXPECT_TRUE(std::isfinite(ms) && ms >= 0.0) << ms;
    reasons.emplace_back(reason);
  };
  set_current_frame(2);
  auto in_cache = [&](int first, int last) {
    for (int f = first; f <= last; ++f)
      if (!contains_frame(cache, FrameKey{f, 24})) return false;
    return true;
  };
  ASSERT_TRUE(tick_until([&] { return in_cache(2, 5) && async_renders_in_flight() == 0; }));
  for (int i = 0; i < 5; ++i) tick();
  for (int f = 6; f <= 9; ++f) EXPECT_FALSE(contains_frame(cache, FrameKey{f, 24})) << "frame " << f;
  EXPECT_EQ(ctl.counters.async_submitted, ctl.counters.async_frames);
  ASSERT_FALSE(asked_at.empty());
  for (uint32_t ds : asked_at) EXPECT_EQ(ds, effective_downsample(ctl));
  EXPECT_EQ(std::count(reasons.begin(), reasons.end(), "grab"), static_cast<long>(ctl.counters.sync_frames));
  EXPECT_EQ(std::count(reasons.begin(), reasons.end(), "rendu async"), static_cast<long>(ctl.counters.async_frames));
  EXPECT_EQ(ctl.counters.sync_frames + ctl.counters.async_frames, 4u);
}

// With the pool on and admitted, the main thread renders the playhead's
// frame and nothing else: the frames of the running batch and the rest of
// the work area are the pool's. The work area is not said cached while the
// batch still holds frames, and the panel stays busy.
TEST_F(InProcessSim, AnEngagedPoolLeavesAllButThePlayheadsFrameAndNothingIsSaidCachedEarly) {
  ctl.async_allowed = false;
  set_current_frame(2);
  pool_engaged = true;
  pool_pending = {{6, 9}};
  ASSERT_TRUE(tick_until([&] { return contains_frame(cache, FrameKey{2, 24}); }));
  for (int i = 0; i < 5; ++i) tick();
  EXPECT_EQ(ctl.counters.sync_frames, 1u) << "only the playhead's frame";
  for (int f = 3; f <= 9; ++f) EXPECT_FALSE(contains_frame(cache, FrameKey{f, 24})) << "frame " << f;
  EXPECT_FALSE(ctl.sweep_reported);

  // Every missing frame with the batch: still nothing to say.
  pool_engaged = false;
  pool_pending = {{3, 9}};
  for (int i = 0; i < 5; ++i) tick();
  EXPECT_FALSE(ctl.sweep_reported) << "said cached while the batch holds frames 3..9";

  // The batch ends: the preview fills the rest itself and then says so.
  pool_pending.clear();
  ASSERT_TRUE(tick_until([&] { return work_area_cached(); }));
  tick();
  EXPECT_TRUE(ctl.sweep_reported);
}

// The frame the user looks at is rendered as soon as the playhead moved,
// although the running batch holds it (and may deliver it last);
// the rest of the batch's frames stay the batch's.
TEST_F(InProcessSim, ThePlayheadsFrameIsRenderedAtOnceWhileTheBatchHoldsIt) {
  for (bool async : {false, true}) {
    SCOPED_TRACE(async ? "async on" : "async off");
    start_afresh(async);
    pool_engaged = true;
    pool_pending = {{2, 9}};
    for (int frame : {5, 8}) {
      // The host's time moved by the project's own edit: it settles first.
      set_current_frame(frame);
      EXPECT_TRUE(tick_until([&] { return contains_frame(cache, FrameKey{frame, 24}); }, 3))
          << "frame " << frame << " waited for the pool";
    }
    for (int i = 0; i < 5; ++i) tick();
    EXPECT_EQ(ctl.counters.sync_frames + ctl.counters.async_submitted, 2u);
  }
}

// Frames the batch gave up (nothing came in time, or a slow job's claim was
// released at the last tick's asking) are the in-process producers' again,
// although the pool is engaged and, for a released job, its worker still
// runs; frames no batch holds still wait for the next one.
TEST_F(InProcessSim, FramesTheBatchGaveUpAreRenderedInProcess) {
  struct Case {
    const char* name;
    bool async;
    std::vector<std::pair<int64_t, int64_t>> pending, given_up;
  } cases[] = {{"silent batch, sync", false, {}, {{2, 9}}},
               {"silent batch, async", true, {}, {{2, 9}}},
               {"released job", true, {{2, 9}}, {{2, 9}}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start_afresh(c.async);
    set_current_frame(2);
    pool_engaged = true;
    pool_pending = c.pending;
    pool_given_up = c.given_up;
    EXPECT_TRUE(tick_until([&] { return work_area_cached(); }));
  }
  pool_given_up.clear();
}

// The asynchronous renderer asks the pool what it still claims every tick
// the pool is engaged, and a job whose claim the pool gives up in that
// answer is rendered at once, although the batch still lists its range.
TEST_F(InProcessSim, AClaimGivenUpInTheTicksAnswerIsRenderedInProcess) {
  ASSERT_TRUE(ctl.async_allowed);
  int asked = 0;
  ctl.pool_link.claimed_ranges = [&](uint32_t) {
    ++asked;
    return std::vector<PoolFrameRange>{{8, 9}};
  };
  set_current_frame(2);
  pool_engaged = true;
  pool_pending = {{3, 9}};
  ASSERT_TRUE(tick_until([&] {
    for (int f = 2; f <= 7; ++f)
      if (!contains_frame(cache, FrameKey{f, 24})) return false;
    return true;
  }));
  for (int i = 0; i < 5; ++i) tick();
  EXPECT_FALSE(contains_frame(cache, FrameKey{8, 24}));
  EXPECT_FALSE(contains_frame(cache, FrameKey{9, 24}));
  EXPECT_GE(asked, 1);
}

// While the panel plays, the frame its playback needs next is rendered in
// the tick, and the render manager is asked for the frames after it in the
// same tick however long that render took, so that the main thread does not
// end up rendering every frame of the playback. The panel's clock takes
// the frame from the cache: it is not handed to the panel here, even when
// the host's time stands on it.
TEST_F(InProcessSim, WhilePlayingTheNextFrameIsRenderedAndTheRenderManagerAskedForTheRest) {
  ASSERT_TRUE(ctl.async_allowed);
  open_project(25);  // one render spends the tick's budget for the main thread
  int handed = 0;
  ctl.present_hook = [&](const RgbaFrame&) { return ++handed > 0; };
  set_current_frame(5);
  panel = PanelPosition{.shown = 4, .playing = true};  // frame 5 is needed next
  tick();
  EXPECT_TRUE(contains_frame(cache, FrameKey{5, 24}));
  EXPECT_EQ(1u, ctl.counters.sync_frames);
  EXPECT_GE(ctl.counters.async_submitted, 1u) << "the frames after the playhead wait for a later tick";
  EXPECT_TRUE(ctl.async_pending_keys.count(FrameKey{6, 24}));
  EXPECT_EQ(0, handed);
}

TEST_F(InProcessSim, PlayheadFrameOutsideTheWorkAreaIsRenderedFirst) {
  for (bool async : {false, true}) {
    SCOPED_TRACE(async ? "async on" : "async off");
    start_afresh(async);
    set_current_frame(11);  // the work area is 2..9
    tick();
    auto shown = cached_frame(cache, FrameKey{11, 24});
    ASSERT_TRUE(shown) << "the frame the user looks at comes in the first tick";
    EXPECT_EQ(0, worst_difference(host_render(11, 24, effective_downsample(ctl), 8), shown->pixels.bytes()));
    ASSERT_TRUE(tick_until([&] { return work_area_cached() && async_renders_in_flight() == 0; }));
    for (int f : {0, 1, 10}) EXPECT_FALSE(contains_frame(cache, FrameKey{f, 24})) << "frame " << f;
    EXPECT_EQ(9u, ctl.counters.sync_frames + ctl.counters.async_frames);
  }
}

// A cache too small for the work area, the playhead outside it: the work
// area's farthest frame is put out as it goes in. It is not made again while
// the playhead stays, yet it is no frame that cannot be made: once the
// playhead comes to it, it is made and kept.
TEST_F(InProcessSim, AFrameWithoutRoomIsAskedAgainOnceThePlayheadComesNearIt) {
  for (bool async : {false, true}) {
    SCOPED_TRACE(async ? "async on" : "async off");
    start_afresh(async);
    set_current_frame(11);  // the work area is 2..9
    tick();
    cache.frame_limit = 4;  // 11, then 9, 4 and 3 are nearer than 2
    clear_frame_cache(cache);
    auto made = [&] { return ctl.counters.sync_frames + ctl.counters.async_submitted + ctl.counters.cache_refused; };
    ASSERT_TRUE(tick_until([&] { return ctl.counters.cache_refused > 0 && ctl.async_pending.empty(); }));
    EXPECT_FALSE(contains_frame(cache, FrameKey{2, 24}));
    const uint64_t settled = made();
    for (int i = 0; i < 20; ++i) tick();
    EXPECT_EQ(made(), settled) << "a frame without room was made again for the same playhead";

    // The playhead moves as the user moves it: no edit, which would make
    // every frame worth asking for again.
    ASSERT_TRUE(sim::host().project.move_playhead("Tiny", sim::HostTime{2, 24}).ok());
    ASSERT_TRUE(tick_until([&] {
      for (int f = 2; f <= 5; ++f) {
        if (!contains_frame(cache, FrameKey{f, 24})) return false;
      }
      return true;
    })) << "the playhead's frame, once without room, was never made again";
    EXPECT_FALSE(contains_frame(cache, FrameKey{11, 24})) << "the farthest frame left";
  }
}

TEST_F(InProcessSim, AfterShutdownNothingIsSubmittedToTheRenderManager) {
  set_current_frame(2);
  tick();
  preview_shutdown(ctl);
  const uint64_t submitted = ctl.counters.async_submitted;
  for (int i = 0; i < 5; ++i) tick();
  EXPECT_EQ(submitted, ctl.counters.async_submitted);
}

// The host's Render suite with a render the user interrupts (Esc).
std::atomic<int> interrupted_renders{0};
A_Err interrupted_render(AEGP_RenderOptionsH, AEGP_FrameReceiptH* receipt) {
  *receipt = nullptr;
  ++interrupted_renders;
  return PF_Err_INTERRUPT_CANCEL;
}

TEST_F(InProcessSim, AnInterruptedRenderStopsTheTickAndIsTriedAgainLater) {
  open_project(15);  // one synchronous frame per tick
  ctl.async_allowed = false;
  set_current_frame(2);
  tick();
  ASSERT_EQ(1u, ctl.counters.sync_frames);
  auto& slot = kept_suite_slot<AEGP_RenderSuite8>();
  const AEGP_RenderSuite8* host_suite = slot.load();
  ASSERT_NE(nullptr, host_suite);
  AEGP_RenderSuite8 interrupting = *host_suite;
  interrupting.AEGP_RenderAndCheckoutFrame = &interrupted_render;
  interrupted_renders = 0;
  slot.store(&interrupting);
  tick();
  slot.store(host_suite);
  EXPECT_EQ(1, interrupted_renders.load()) << "the rest of the tick renders nothing";
  EXPECT_EQ(0u, ctl.counters.sync_failed);
  ASSERT_TRUE(tick_until([&] { return work_area_cached(); }, 3)) << "the interrupted frame is rendered again";
  EXPECT_EQ(8u, ctl.counters.sync_frames);
}

TEST_F(InProcessSim, APinnedCompositionDeletedOutOfFocusIsLetGoAtOnce) {
  ctl.async_allowed = false;
  open_text(two_comp_text());
  tick();
  ASSERT_TRUE(ctl.pinned_item);
  auto modify = [](std::function<void(sim::Project&)> change) {
    ASSERT_TRUE(sim::host().project.modify([&](sim::Project& p) {
      change(p);
      return sim::Status(sim::done());
    }).ok());
  };
  modify([](sim::Project& p) { p.active_comp.reset(); });
  tick();
  ASSERT_TRUE(ctl.pinned_item) << "out of focus but still in the project: the preview keeps it";
  modify([](sim::Project& p) { p.comps.erase(p.comps.begin()); });
  tick();
  EXPECT_FALSE(ctl.pinned_item) << "its handle names nothing any more";
  EXPECT_EQ(nullptr, ctl.pinned_handle);
}

// The host's render manager, where the user interrupts the first requests.
const AEGP_RenderAsyncManagerSuite1* real_async_manager = nullptr;
std::atomic<int> async_interrupts_left{0};
A_Err submit_interrupting(AEGP_PluginID plugin, AEGP_RenderOptionsH options, AEGP_AsyncFrameReadyCallback callback,
                          void* refcon, AEGP_AsyncRequestId* id) {
  if (async_interrupts_left.fetch_sub(1) <= 0) {
    return real_async_manager->AEGP_SubmitFrameRequest(plugin, options, callback, refcon, id);
  }
  static std::atomic<AEGP_AsyncRequestId> next_id{1u << 30};
  *id = next_id++;
  const AEGP_AsyncRequestId done = *id;
  std::thread([=] { callback(refcon, done, 0, PF_Err_INTERRUPT_CANCEL, nullptr); }).join();
  return A_Err_NONE;
}

TEST_F(InProcessSim, AnInterruptedAsyncRenderIsAskedForAgain) {
  ASSERT_TRUE(keep_render_suites().ok());
  auto& slot = kept_suite_slot<AEGP_RenderAsyncManagerSuite1>();
  real_async_manager = slot.load();
  ASSERT_NE(nullptr, real_async_manager);
  AEGP_RenderAsyncManagerSuite1 interrupting = *real_async_manager;
  interrupting.AEGP_SubmitFrameRequest = &submit_interrupting;
  async_interrupts_left = 3;
  slot.store(&interrupting);
  set_current_frame(2);
  const bool cached = tick_until([&] { return work_area_cached() && async_renders_in_flight() == 0; }, 3);
  slot.store(real_async_manager);
  EXPECT_TRUE(cached) << "the interrupted frames were rendered again";
  EXPECT_EQ(3u, ctl.counters.async_cancelled);
  EXPECT_EQ(0u, ctl.counters.async_failed);
}

TEST_F(InProcessSim, PurgeEmptiesTheCacheAndForgetsRenderTimesThenTheSweepStartsOver) {
  set_current_frame(2);
  ASSERT_TRUE(tick_until([&] { return work_area_cached() && async_renders_in_flight() == 0; }));
  const uint32_t level = *factor_index(effective_downsample(ctl));
  ASSERT_GT(ctl.level_times.async_ms[level].count, 0u);
  EXPECT_FALSE(ctl.level_times.arrivals[level].empty()) << "each delivery is an arrival of its level";
  purge_preview(ctl, cache);
  for (int f = 2; f <= 9; ++f) EXPECT_FALSE(contains_frame(cache, FrameKey{f, 24})) << f;
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(0u, ctl.level_times.async_ms[i].count) << i;
    EXPECT_EQ(0u, ctl.level_times.inprocess_ms[i].count) << i;
    EXPECT_TRUE(ctl.level_times.arrivals[i].empty()) << i;
    EXPECT_FALSE(ctl.per_factor_ms[i]) << i;
  }
  EXPECT_TRUE(tick_until([&] { return work_area_cached(); }));
}

TEST_F(InProcessSim, RenderOptionsTakeOnlyValuesTheHostCanRender) {
  ASSERT_TRUE(keep_render_suites().ok());
  auto active = active_item();
  ASSERT_TRUE(active.ok() && active.value());
  auto opts = RenderOptions::for_item(*active.value(), sim::kPluginId);
  ASSERT_TRUE(opts.ok());
  RenderOptions& o = opts.value();
  struct Case {
    const char* name;
    std::function<Status<AeError>()> set;
    bool accepted;
  } cases[] = {
      {"downsample 1", [&] { return o.set_downsample(1); }, true},
      {"downsample 16", [&] { return o.set_downsample(16); }, true},
      {"downsample 0", [&] { return o.set_downsample(0); }, false},
      {"downsample 17", [&] { return o.set_downsample(17); }, false},
      {"downsample past 16 bits", [&] { return o.set_downsample(65537); }, false},
      {"8 bpc", [&] { return o.set_depth(8); }, true},
      {"16 bpc", [&] { return o.set_depth(16); }, true},
      {"32 bpc", [&] { return o.set_depth(32); }, true},
      {"12 bpc", [&] { return o.set_depth(12); }, false},
      {"time", [&] { return o.set_time(5, 24); }, true},
      {"time without scale", [&] { return o.set_time(5, 0); }, false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.accepted, c.set().ok()) << c.name;
}

TEST_F(InProcessSim, NothingRendersDuringAModalWindow) {
  const uint64_t sync_before = sim::host().sync_renders.completed.load();
  for (int i = 0; i < 20; ++i) tick(/*modal=*/true);
  EXPECT_EQ(sync_before, sim::host().sync_renders.completed.load());
  EXPECT_EQ(0u, ctl.counters.async_submitted);
  EXPECT_FALSE(ctl.pinned_item) << "not even the composition is looked at";
}

TEST_F(InProcessSim, GrabMatchesTheHostsRenderAtEveryDepth) {
  // Commands can come before the first idle tick has pinned anything.
  set_current_frame(7);
  const std::string path = ::testing::TempDir() + "/velocinta_grab_test_" + std::to_string(::getpid()) + ".ppm";
  for (uint32_t depth : {8u, 16u, 32u}) {
    panel_options().depth = depth;
    panel_options().quality = depth == 16 ? 1 : 3;  // downsample 4, else full size
    auto written = grab_frame_to(ctl, path);
    panel_options().depth = 8;
    panel_options().quality = 1;
    ASSERT_TRUE(written.ok()) << written.error();
    EXPECT_EQ(depth, ctl.depth_bpc);
    const uint32_t ds = effective_downsample(ctl);
    const auto reference = host_render(7, 24, static_cast<int>(ds), 8);
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> ppm((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string header = "P6\n" + std::to_string((64 + ds - 1) / ds) + " " + std::to_string((36 + ds - 1) / ds) +
                               "\n255\n";
    ASSERT_GT(ppm.size(), header.size());
    EXPECT_EQ(header, std::string(ppm.begin(), ppm.begin() + header.size()));
    std::vector<uint8_t> rgb;
    for (size_t i = 0; i < reference.size(); i += 4) rgb.insert(rgb.end(), &reference[i], &reference[i + 3]);
    const std::span<const uint8_t> body(ppm.data() + header.size(), ppm.size() - header.size());
    EXPECT_LE(worst_difference(rgb, body), depth == 8 ? 0 : 1) << "depth " << depth;
  }
  std::remove(path.c_str());
}

TEST_F(InProcessSim, WorkAreaKeysMoveTheHostsWorkAreaWithoutCountingAnEdit) {
  open_project(15);  // one synchronous frame per tick
  ctl.async_allowed = false;
  set_current_frame(5);
  tick();
  ASSERT_TRUE(ctl.pinned_item);
  ASSERT_EQ(1u, ctl.counters.sync_frames);
  signals.mark_out_requests = 1;  // OUT at the playhead
  auto report = tick();
  EXPECT_TRUE(report.work_area_changed);
  EXPECT_FALSE(report.edited);
  EXPECT_EQ((WorkAreaFrames{2, 5}), ctl.work_area);
  auto snap = sim::host().project.snapshot();
  EXPECT_EQ(2, snap->comps[0].work_area_start.value * 24 / static_cast<int>(snap->comps[0].work_area_start.scale));
  EXPECT_EQ(4, snap->comps[0].work_area_duration.value * 24 / static_cast<int>(snap->comps[0].work_area_duration.scale));
  ASSERT_TRUE(tick_until([&] { return ctl.counters.sync_frames >= 4; }));
  tick();
  EXPECT_EQ(4u, ctl.counters.sync_frames) << "only the new work area is swept";
}

TEST_F(InProcessSim, SwitchingCompositionsNeverShowsTheOthersFrames) {
  // Both compositions have the same timing, so their frames share every key.
  // (The stand-in counts a change of the active item as a project change,
  // so every switch here also goes through the edit path.)
  ctl.async_allowed = false;
  open_text(two_comp_text());
  ASSERT_TRUE(tick_until([&] { return work_area_cached(); }));
  expect_work_area_shows(0);

  activate(1);
  EXPECT_TRUE(tick().pinned_changed);
  ASSERT_TRUE(tick_until([&] { return work_area_cached(); }));
  expect_work_area_shows(1);

  // The first composition changes while the second is shown: its frames
  // set aside earlier must not come back.
  ASSERT_TRUE(sim::host().project.edit("/compositions/0/layers/1/solid/color", {0.1, 0.9, 0.1}).ok());
  tick();
  activate(0);
  EXPECT_TRUE(tick().pinned_changed);
  ASSERT_TRUE(tick_until([&] { return work_area_cached(); }));
  expect_work_area_shows(0);
}

// The work area is said cached only when every frame of it is: not when
// the sweep stopped at the cache's frame limit (4096), nor when it met
// frames whose time has no key. At 1/4294967295 s a frame, only the first
// 2^31 frames have one: the sweep makes those, from the start when the
// playhead is beyond them, and never the rest.
TEST_F(InProcessSim, TheWorkAreaIsSaidCachedOnlyWhenEveryFrameOfItIs) {
  struct Row {
    const char* what;
    const char* timing;  // frame duration, duration, work area
    sim::HostTime playhead;
    uint64_t made;     // frames rendered in the end
    const char* line;  // what the log says, or nothing
  } rows[] = {
      {"the whole work area within the limit", R"("frame_duration": [1, 24], "duration": [12, 24],
        "work_area": {"start": [2, 24], "duration": [8, 24]})", {2, 24}, 8,
       "S2 zone de travail en cache : images 2..9 "},
      {"a work area longer than the cache holds", R"("frame_duration": [1, 24], "duration": [5000, 24],
        "work_area": {"start": [0, 24], "duration": [5000, 24]})", {0, 24}, 4096, nullptr},
      {"frames without a key, the playhead among them",
       R"("frame_duration": [1, 4294967295], "duration": [1, 1], "work_area": {"start": [0, 1], "duration": [1, 1]})",
       {3, 4}, 4096, nullptr},
  };
  testing::ScratchDir scratch("vel-preview-log");
  const std::filesystem::path log = scratch.path() / "velocinta.log";
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    std::filesystem::remove(log);
    ASSERT_TRUE(open_log_file_at(log, LogRole::Worker));
    open_text(R"({"active_comp": "Tiny", "compositions": [{"name": "Tiny", "width": 8, "height": 8, )" +
              std::string(r.timing) + R"(, "bg_color": [0.1, 0.1, 0.1], "render_cost_ms": 0, "layers": []}]})");
    ASSERT_TRUE(sim::host().project.modify([&](sim::Project& p) {
      p.comps[0].current_time = r.playhead;
      return sim::Status(sim::done());
    }).ok());
    start_afresh(false);
    ASSERT_TRUE(tick_until([&] { return ctl.sweep_reported; }, 60));
    close_log_file();
    EXPECT_EQ(ctl.counters.sync_frames, r.made);
    const std::string text = testing::read_text(log);
    if (r.line != nullptr) {
      EXPECT_NE(text.find(r.line), std::string::npos) << text;
    } else {
      EXPECT_EQ(text.find("zone de travail en cache"), std::string::npos) << text;
    }
  }
  EXPECT_TRUE(contains_frame(cache, FrameKey{0, 4294967295u})) << "the first frame, though the playhead is beyond";
}

// Each "work area cached" line counts the work area's frames by the road
// they came, once each: filled, purged and filled again, both lines say the
// eight frames rendered for them, not those of the first fill again, nor the
// playhead's frame outside the work area.
TEST_F(InProcessSim, TheWorkAreaCachedLineCountsTheFillItReports) {
  testing::ScratchDir scratch("vel-preview-log");
  const std::filesystem::path log = scratch.path() / "velocinta.log";
  ASSERT_TRUE(open_log_file_at(log, LogRole::Worker));
  ctl.async_allowed = false;
  ASSERT_TRUE(tick_until([&] { return ctl.sweep_reported; }, 60));
  purge_preview(ctl, cache);
  ASSERT_TRUE(tick_until([&] { return ctl.sweep_reported; }, 60));
  close_log_file();
  const std::string text = testing::read_text(log);
  const std::string line = "S2 zone de travail en cache : images 2..9 (sync 8, async 0, pool 0, ds ";
  const size_t first = text.find(line);
  ASSERT_NE(first, std::string::npos) << text;
  EXPECT_NE(text.find(line, first + 1), std::string::npos) << text;
}

// The line names every road the work area's frames came, so that its counts
// add up to the frames of the work area; the disk store, the plug-in's own
// renderer and the archive of set-aside compositions only when they brought
// any.
TEST(WorkAreaCachedLine, SaysWhereTheWorkAreasFramesCameFrom) {
  struct Row {
    WorkAreaRoads roads;
    const char* line;
  } rows[] = {
      {{8, 0, 232, 0, 0}, "S2 zone de travail en cache : images 0..239 (sync 8, async 0, pool 232, ds 1)"},
      {{0, 0, 0, 240, 0}, "S2 zone de travail en cache : images 0..239 (sync 0, async 0, pool 0, disque 240, ds 1)"},
      {{2, 3, 4, 5, 6, 220},
       "S2 zone de travail en cache : images 0..239 (sync 2, async 3, pool 4, disque 5, raster 6, archive 220, ds 1)"},
  };
  for (const Row& r : rows) EXPECT_EQ(work_area_cached_line(WorkAreaFrames{0, 239}, r.roads, 1), r.line);
}

}  // namespace
}  // namespace vel
