// PreviewController: the preview controller's own state, held by the
// plug-in's global state and touched only on the host's main thread.
//
// Per idle tick (not while a modal window is shown) the idle hook calls,
// in this order:
//   1. preview_refresh_policy     quality and downsample policy
//   2. preview_track_comp         active/pinned composition, timing, work
//                                 area, host time, edits (switches the
//                                 cache), then the one playhead
//   3. preview_apply_work_area_requests   IN/OUT requests from the panel
//   4. focus_cache_on_playhead    the cache's focus, before any frame goes in
//   5. async_render_tick          collects asynchronous results
//   6. preview_render_step        delivery decision and in-process renders
//   7. live_grab_step             the developer live grab, when on
// preview_idle_step runs all seven.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "cache/frame_cache.h"
#include "cache/frame_key.h"
#include "cache/rgba_frame.h"
#include "host/frame_timing.h"
#include "host/handles.h"
#include "panel/stats/bench_timings.h"
#include "preview/delivery.h"
#include "preview/delivery_window.h"
#include "preview/downsample_policy.h"
#include "preview/edit_detection.h"
#include "preview/grabbed_frame.h"
#include "preview/level_render_times.h"
#include "preview/playhead.h"
#include "preview/pool_link.h"
#include "preview/room_refusals.h"
#include "preview/store_awaited.h"
#include "preview/work_area.h"
#include "raster/comp_model.h"
#include "raster/raster_fill.h"

namespace vel {

// Frames by the road they came, and what was lost on the way (saturating).
struct PreviewCounters {
  uint64_t sync_frames = 0;       // synchronous renders cached
  uint64_t async_frames = 0;      // asynchronous renders cached
  uint64_t async_submitted = 0;   // accepted by the host
  uint64_t async_stale = 0;       // results of an older generation, dropped
  uint64_t async_cancelled = 0;   // completions flagged cancelled
  uint64_t async_failed = 0;      // completions without a frame
  uint64_t sync_failed = 0;       // synchronous renders that failed
  uint64_t cache_refused = 0;     // frames the cache did not take
  uint64_t raster_frames = 0;     // raster fill results cached
};

// The road by which a frame came into the cache.
enum class FrameRoad : uint8_t { Sync, Async, Pool, Store, Raster };

// The work area's frames by the road they came into the cache, for the line
// saying it is cached: each frame once, whichever fill made it, so that the
// counts add up to the work area. `archive` counts the frames set aside with
// their composition and brought back with it, whose road was not kept.
struct WorkAreaRoads {
  uint64_t sync = 0;
  uint64_t async = 0;
  uint64_t pool = 0;     // ingested from the render pool's workers
  uint64_t store = 0;    // loaded from the disk store
  uint64_t raster = 0;   // drawn by the plug-in's own renderer
  uint64_t archive = 0;
};

// What a raster fill was started for; a change of any part allows another.
struct RasterFillArm {
  uint64_t item = 0;
  WorkAreaFrames area;
  uint32_t downsample = 0;
  friend bool operator==(const RasterFillArm&, const RasterFillArm&) = default;
};

// At most this many asynchronous requests wait at the host at once.
inline constexpr size_t kMaxAsyncInFlight = 4;
// Synchronous renders of one tick stop once the tick spent this long on them.
inline constexpr uint64_t kSyncTickBudgetNs = 10'000'000;

struct PreviewController {
  PluginId plugin_id = 0;
  uint64_t clock_origin_ns = 0;  // the preview clock's instant

  // Composition tracking.
  std::optional<uint64_t> current_item;  // the active item when it is a composition
  std::optional<uint64_t> pinned_item;   // the composition the preview follows
  ItemH pinned_handle = nullptr;
  std::optional<CompFrameTiming> timing;
  Dimensions comp_size;
  int64_t frame_count = 0;
  WorkAreaFrames work_area;  // frame indexes; negative ends unset
  WorkAreaSnapshot work_area_snapshot;
  // The host's current time in the pinned composition, and its frame: where
  // the playhead starts from while the panel has no position of its own.
  int64_t current_frame = 0;
  std::optional<HostTime> current_time;
  // The one playhead, taken once a tick by preview_track_comp: every later
  // step of the tick follows it.
  Playhead playhead;
  std::unordered_set<uint64_t> stale_archived;  // set-aside compositions an edit made stale
  std::unordered_set<uint64_t> seen_comps;

  // Policy.
  DownsamplePolicy downsample;
  uint32_t depth_bpc = 8;

  // Edits.
  EditTracker edits;
  bool forced = false;  // renders even while edits are settling

  // Asynchronous requests waiting at the host: request id → frame key.
  std::unordered_map<uint64_t, FrameKey> async_pending;
  std::unordered_set<FrameKey, FrameKeyHasher> async_pending_keys;
  // Keys asked of the disk store and not answered yet: not rendered meanwhile
  // (the playhead's frame only while the store answers it next).
  StoreAwaited store_pending;

  // Measurements.
  LevelRenderTimes level_times;
  BenchTimings bench;  // dispatch events on the preview clock
  PerFactorTimes per_factor_ms{};
  PreviewCounters counters;

  // Frames the cache refused or the host failed to render in this context
  // at this downsample: not asked for again until something changes.
  std::unordered_set<FrameKey, FrameKeyHasher> unplaceable;
  // Sound frames the cache put out for lack of room: asked for again once
  // the playhead comes near them. Cleared with `unplaceable`.
  RoomRefusals room_refused;
  uint32_t unplaceable_downsample = 0;
  bool async_broken = false;  // a submission was refused: synchronous only
  bool async_allowed = true;  // VELOCINTA_ASYNC, as read when the controller was made
  std::optional<bool> render_suites_ready;  // none until tried once

  std::optional<DeliveryDecision> last_decision;
  DeliveryWindowMemo delivery_window;  // the delivery queue's last pass over the playhead's window
  uint64_t pinned_checked_ns = 0;
  bool sweep_reported = false;  // the "work area cached" line of this context
  // The road of each frame in the cache (the last one, when a frame came
  // twice); forgotten when the cache is emptied or follows another
  // composition.
  std::unordered_map<FrameKey, FrameRoad, FrameKeyHasher> frame_roads;
  uint64_t context = 0;

  // Raster path: the held raster comp is set exactly when the plug-in's own
  // renderer may draw the pinned composition.
  std::shared_ptr<const CompModel> raster_comp;
  bool comp_is_3d = false;
  bool raster_blocked = false;  // keeps the raster path off until the state is reset
  RasterJobSlot raster_slot;    // the running fill's results and cancellation
  std::optional<RasterFillArm> raster_fill_armed;  // the last fill started for this raster comp
  bool raster_reread = false;   // an edit made the held comp stale: read it again once quiet
  uint8_t topology_rescans = 0;  // scans of the pinned comp made again after running out of time

  // Developer live grab.
  bool live_grab = false;
  std::optional<FrameKey> live_grab_last;
  uint64_t live_grab_edits = 0;

  // Presentation: the panel installs its hook; until then frames are not shown.
  std::function<bool(const RgbaFrame&)> present_hook;
  std::optional<FrameKey> presented;

  // The render pool, as far as the preview reaches it.
  PoolLink pool_link;
  WitnessClaims witness;
};

// A mark request of the panel: its word (WorkAreaRequest) and, for a key,
// where the panel stood when the key's turn came, which the key marks.
struct PanelMarkRequest {
  WorkAreaPost kind;
  uint64_t word = 0;
  PanelPosition at;
};

struct PreviewTickInputs {
  uint64_t now_ns = 0;               // monotonic
  bool modal = false;                // the host shows a modal window
  // Where the panel stands: the playhead follows it rather than the host's
  // current time, which playback in the panel does not move.
  PanelPosition panel;
  // The panel's mark requests in the order they were made, a key with where
  // the panel stood at its turn; then the request words, whose news beyond
  // those requests (posts the panel's queue had no room for) come after
  // them, keys at the playhead.
  std::vector<PanelMarkRequest> mark_requests;
  WorkAreaSignals work_area_signals;
  // The render pool: whether it may start a batch now, and the frame
  // ranges (inclusive frame indexes) its running batch already holds.
  bool pool_ready = false;
  // The pool is on and admitted for the composition: what it does not hold
  // now waits for its next batch, not for the main thread.
  bool pool_engaged = false;
  std::vector<std::pair<int64_t, int64_t>> pool_pending;
  // Ranges of the running batch the pool gave up (nothing came in time, or
  // the asynchronous prefetch took a slow job's claim over): the in-process
  // producers render them, whatever `pool_pending` says.
  std::vector<std::pair<int64_t, int64_t>> pool_given_up;
  // The frames the batch's workers are about to hand over (each the next of
  // a worker still delivering): the playhead's frame waits for these, as
  // for a render the host's manager is making, not for the rest the batch
  // holds.
  std::vector<int64_t> pool_coming;
};

struct PreviewTickReport {
  bool pinned_changed = false;
  bool edited = false;
  bool work_area_changed = false;
  // The pinned composition left the project: item ids may now name other
  // compositions, so nothing cached for them may be trusted.
  bool comp_left = false;
  uint32_t sync_cached = 0;
  uint32_t async_cached = 0;
  uint32_t async_submitted = 0;
  std::vector<int64_t> pool_frames;  // missing frames the delivery decision gave the pool
  // Frames were missing that no running batch held when the tick began:
  // work a next batch could take, whoever renders it meanwhile.
  bool frames_unclaimed = false;
};

// The controller for a plug-in instance; `now_ns` starts the preview clock.
PreviewController make_preview_controller(PluginId plugin_id, uint64_t now_ns);

// Milliseconds on the preview clock.
double preview_clock_ms(const PreviewController& ctl, uint64_t now_ns);

// Quality factor and depth from the panel's options.
void apply_panel_choices(PreviewController& ctl);

// --- the idle tick's steps, in call order --------------------------------
void preview_refresh_policy(PreviewController& ctl, const FrameCache& cache);
void preview_track_comp(PreviewController& ctl, FrameCache& cache, const PreviewTickInputs& in,
                        PreviewTickReport& report);
void preview_apply_work_area_requests(PreviewController& ctl, const PreviewTickInputs& in, PreviewTickReport& report);
// Moves the cache's focus to the playhead before any frame of the tick goes
// in: a frame inserted under the focus of an earlier position may be the
// farthest one and be put out as it goes in.
void focus_cache_on_playhead(const PreviewController& ctl, FrameCache& cache);
void async_render_tick(PreviewController& ctl, FrameCache& cache, PreviewTickReport& report);
void preview_render_step(PreviewController& ctl, FrameCache& cache, const PreviewTickInputs& in,
                         PreviewTickReport& report);
void live_grab_step(PreviewController& ctl, FrameCache& cache, const PreviewTickInputs& in);

// The raster fill's tick: reads an edited raster comp again once edits are
// quiet, starts a fill of the missing work-area frames when none runs, takes
// at most 8 results into the cache, and hands the composition back to the
// host's renderer when the fill raised its cancel flag.
void raster_fill_step(PreviewController& ctl, FrameCache& cache, const PreviewTickInputs& in);
// Its parts, for the tests.
void raster_reread_step(PreviewController& ctl, const PreviewTickInputs& in);
void start_raster_fill_if_due(PreviewController& ctl, const FrameCache& cache, const PreviewTickInputs& in);
size_t take_raster_results(PreviewController& ctl, FrameCache& cache);
inline constexpr size_t kRasterResultsPerTick = 8;

// All of the above; nothing at all while `in.modal` or the modal flag is up.
PreviewTickReport preview_idle_step(PreviewController& ctl, FrameCache& cache, const PreviewTickInputs& in);

// --- services to the other subsystems -----------------------------------
uint32_t effective_downsample(const PreviewController& ctl);
bool edit_quiet_elapsed(const PreviewController& ctl, uint64_t now_ns);

// The frame key of a frame index of the pinned composition; none without
// timing or when the time leaves 32 bits.
std::optional<FrameKey> frame_key_of(const PreviewController& ctl, int64_t frame);
// The other way: the frame index whose key `key` is; none for a key that no
// frame of the pinned composition has (another scale, a time between frames,
// beyond the last frame).
std::optional<int64_t> frame_of_key(const PreviewController& ctl, FrameKey key);

// Raises the asynchronous generation, cancels every pending request at the
// host and forgets them; answers the new generation.
uint64_t cancel_async_renders(PreviewController& ctl);

// Starts a new preview context for a composition: clears the per-context
// trackers and the presented frame, logs "CONTEXT" at PERF.
void set_preview_context(PreviewController& ctl, uint64_t item_id);

// A frame came into the cache by `road`.
void note_frame_road(PreviewController& ctl, const FrameCache& cache, FrameKey key, FrameRoad road);

// The work area's frames by the road they came.
WorkAreaRoads count_work_area_roads(const PreviewController& ctl);

// "S2 zone de travail en cache : images A..B (sync S, async A, pool P, ds D)",
// with ", disque N", ", raster N" and ", archive N" before the downsample
// when frames came that way: where the work area's frames came from.
std::string work_area_cached_line(const WorkAreaFrames& bounds, const WorkAreaRoads& roads, uint32_t downsample);

// Clears the request tables and marks the cache strip for redrawing.
void reset_preview_counters(PreviewController& ctl);

// Folds a synchronous render time in (factor 1..16 power of two, ms > 0)
// and tells the pool how long the render took ("grab").
void record_inprocess_render_time(PreviewController& ctl, uint32_t factor, double ms);

// Hands a ready frame to the panel through its hook; whether it was shown.
bool present_frame_to_panel(PreviewController& ctl, const RgbaFrame& frame, FrameKey key);

// A frame that just came in goes on screen when it is the playhead's and the
// panel does not play (a playing panel takes its frames by its own clock);
// whether it was shown.
bool present_at_playhead(PreviewController& ctl, const RgbaFrame& frame, FrameKey key);

// Decides who renders a newly pinned composition: scans it, and holds its
// comp model as the raster comp when the raster path takes it (PERF
// "PREVIEW_SCAN" and "PREVIEW_PROFILE" lines say why). Main thread.
void classify_preview_topology(PreviewController& ctl, ItemH comp_item);
// The same with the clock its scan's time budget reads.
void classify_preview_topology(PreviewController& ctl, ItemH comp_item, const std::function<uint64_t()>& now_ns);

// Forgets the per-factor render times of the current context.
void reset_timing_trackers(PreviewController& ctl);

// The host's renderer serves the pinned composition again: the held raster
// comp is released and the delivery decision is taken afresh.
void reset_preview_session(PreviewController& ctl);

// The pinned composition's frame at `key` drawn by the raster renderer, when
// a raster comp is held; a factor below 2 renders at full size. A frame the
// raster path cannot draw hands the composition back to the host
// (reset_preview_session) and gives no frame.
std::optional<GrabbedFrame> grab_pinned_frame(PreviewController& ctl, FrameKey key, uint32_t downsample);

// "Purge Velocinta": empties the RAM cache and resets the asynchronous
// measurements (averages and per-factor times).
void purge_preview(PreviewController& ctl, FrameCache& cache);

// "velocinta: grab frame": renders the pinned composition at its current
// time and the effective downsample, writes "velocinta_grab.ppm" in the log
// folder, and answers the file's path.
Result<std::string> grab_frame_command(PreviewController& ctl);

// The grab itself, into `path` (PPM).
Result<std::string> grab_frame_to(PreviewController& ctl, const std::string& path);

// "velocinta: live grab (toggle)"; answers the new state.
bool toggle_live_grab(PreviewController& ctl);

// "preview: frames sync=… async=… stale=… cancelled=… failed=…".
std::string preview_summary_text(const PreviewController& ctl);

// Death hook: stops the asynchronous path and cancels what waits at the host.
void preview_shutdown(PreviewController& ctl);

}  // namespace vel
