// The pool's step of the idle tick, up to the launch: the template check,
// the project snapshot and the wait for the user's save. Main thread only.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/result.h"
#include "pool/batch/batch_supervision.h"
#include "pool/runtime/project_snapshot.h"
#include "pool/schedule/frame_range.h"

namespace vel {

struct PreviewState;
struct PreviewController;
struct PoolRuntime;

// `pool_frames`: the missing frames the delivery decision gave the pool
// this tick, playhead first.
void pump_pool_delivery(PreviewState& state, uint64_t now_ns, const std::vector<int64_t>& pool_frames,
                        bool frames_unclaimed);

// Takes the frames a supervision call returned into the RAM cache: those of
// the composition the pool follows, unless the cache already holds the
// frame as wide as the preview wants it.
void ingest_pool_frames(PreviewState& state, std::vector<IngestedFrame> frames);

// The raster path prepares and draws the pinned composition itself: while
// it holds it, and `prepare_switch` (VELOCINTA_PREPARE) is on, the pool
// takes no snapshot, launches nothing and warms no engine.
bool preparation_holds_pool(const PreviewController& preview, bool prepare_switch);

// The pool's whole share of one idle tick: an edit of the pooled
// composition (and the engine prewarm of its pause), the ramp window, the
// memory tick, then the pump.
void pool_idle_step(PreviewState& state, uint64_t now_ns, bool edited, const std::vector<int64_t>& pool_frames,
                    bool frames_unclaimed);

// The delivery line of a batch the pool has just been handed: how many
// ranges it was planned into, how many of them meet the `window` frames
// looping playback over [loop_first, loop_last] shows from `playhead` on,
// and the timings the pool measured for a plan like it (same composition,
// output, file downsample, `downsample` and span), "None" when it has none:
// "DELIVERY use_pool=true reason=pool_next_batch_ready ranges=3
// ranges_in_window=1 window=48 measured_first_ms=Some(812.0)
// measured_per_frame_ms=Some(41.5)".
std::string pool_delivery_line(const PoolRuntime& rt, uint64_t downsample, std::span<const FrameRange> plan,
                               int64_t playhead, int64_t loop_first, int64_t loop_last, int64_t window);

// What the preview's delivery decision reads of the pool this tick.
bool pool_wants_frames(const PreviewState& state, uint64_t now_ns);
// The pool is on and admitted: what its batch holds, and what waits for its
// next batch, is left to it; the playhead's frame and what it gave up are not.
bool pool_takes_frames(const PreviewState& state, uint64_t now_ns);
std::vector<std::pair<int64_t, int64_t>> pool_held_frames(const PreviewState& state, uint64_t now_ns);
std::vector<std::pair<int64_t, int64_t>> pool_given_up_frames(const PreviewState& state, uint64_t now_ns);
std::vector<int64_t> pool_coming_frames(const PreviewState& state, uint64_t now_ns);

// Saves a copy of the open project through the host at `path` (the open
// project keeps its own path and dirty state); the save's milliseconds and
// the written size.
struct SavedCopy {
  double save_ms = 0.0;
  uint64_t size = 0;
};
Result<SavedCopy> save_project_copy(const fs::path& path);

// While the pool is on: "Render engines off for this session: see
// velocinta.log" once it was turned off for the session (the log holds the
// one line saying why), "Save the project (Cmd+S) to unlock the render
// engines" while it waits for a save; empty otherwise.
std::string pool_status_line(const PreviewState& state);

// The developer probe: a save of a copy into the pool folder, logged.
void cmd_snapshot_probe(PreviewState& state);

}  // namespace vel
