// supervise_batches: the pool's per-tick runtime. It looks after the one
// batch of aerender workers in flight: kills it when it stays silent, hands
// frame files to the decoders, takes the finished frames for the caller's
// RAM frame cache, weighs one more engine (measured admission and the
// adaptive scheduler), notices exits and hung workers and replays their
// missing frames once, ends workers that owe it nothing more, launches
// further workers while the pool folder's volume has room for them (and
// leaves the queue to the host's renders when it has not), and closes the
// batch.
// Main thread only; instants are monotonic nanoseconds.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "cache/frame_key.h"
#include "cache/rgba_frame.h"
#include "pool/runtime/pool_runtime.h"
#include "pool/runtime/pool_volume.h"
#include "pool/schedule/measured_admission.h"
#include "pool/schedule/range_frames.h"

namespace vel {

struct FrameCache;

// One frame a call returns. `comp_identity` is the composition of the batch
// that made it: the caller inserts it only while that composition is current.
struct IngestedFrame {
  FrameKey key;
  RgbaFrame pixels;
  uint64_t comp_identity = 0;
};

// What a call reads besides the runtime; the plug-in passes the live one,
// the tests a clock of their own and stand-ins.
struct SupervisionWorld {
  std::function<Instant()> clock;
  bool measured_admission = true;
  bool adaptive_scheduler = true;
  std::optional<uint32_t> parallelism;  // hardware threads
  uint64_t configured_workers = 8;      // pool_worker_count()
  std::function<uint64_t()> effective_workers;
  uint64_t async_renders_in_flight = 0;
  std::optional<int64_t> playhead;
  AvailableMemoryProbe available_memory;
  std::function<std::optional<PoolJob>(const LaunchRequest&)> spawn_worker;
  // Where spawn_worker runs: the launch thread in the plug-in; empty runs it
  // in place, so that its outcome is taken in the same call.
  OffMainRunner run_off_main;
  VolumeProbe volume_probe;  // the pool folder's free space, read off the main thread
};
SupervisionWorld live_supervision_world(const PoolRuntime& rt, uint64_t async_renders_in_flight,
                                        std::optional<int64_t> playhead);

// The idle hook's form. `output_ds` is the downsample the preview wants now
// (at least 1). Answers the frames delivered in this call, oldest first;
// none when no batch runs or it ended in this call without frames.
std::vector<IngestedFrame> supervise_batches(PoolRuntime& rt, uint64_t output_ds, const SupervisionWorld& world);

// The pool pump's form: with `rule` mode 1 and a cache that is not empty, a
// frame the cache holds at least `min_width` wide counts as served. Such a
// frame is still returned but is not useful, the scheduler's frame lists
// leave it out, and it is cut off the front of a range before launch.
std::vector<IngestedFrame> supervise_batches(PoolRuntime& rt, uint64_t output_ds, const SupervisionWorld& world,
                                             const FrameCache& cache, WidthRule rule);

}  // namespace vel
