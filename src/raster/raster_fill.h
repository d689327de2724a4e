// The parallel raster fill: the frames of the work area that the cache lacks
// are drawn ahead of playback by "velocinta-raster-" threads, registered as
// background workers, and handed to the idle hook through the raster job
// slot's channel of two. The fill call never waits for its threads; the
// slot's generation cancels them and its cancel flag asks the idle hook to
// give the composition back to the host's renderer.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "cache/frame_key.h"
#include "cache/pixel_payload.h"
#include "cache/worker_registry.h"
#include "core/job_slot.h"
#include "raster/comp_model.h"
#include "raster/prepared_scene.h"

namespace vel {

// One frame from a raster thread to the idle hook. Identical frames share
// one pixel buffer.
struct RasterFrameResult {
  FrameKey time;       // the frame as listed
  PixelPayload pixels; // premultiplied RGBA8, width × height × 4 bytes
  double seconds = 0;  // value / scale, a scale of 0 counting as 1
  uint32_t width = 0;
  uint32_t height = 0;
};

using RasterJobSlot = JobSlot<RasterFrameResult>;

inline constexpr size_t kRasterChannelCapacity = 2;
inline constexpr uint32_t kMaxRasterThreads = 8;

// The machine facts the thread count depends on; unknown ones stay empty.
struct RasterMachine {
  std::optional<uint32_t> hardware_threads;
  std::optional<uint64_t> physical_bytes;
  uint32_t pressure_percent = 100;  // 50, 75 or 100
};

// This process's machine, with the memory pressure of now.
RasterMachine current_raster_machine();

// The RAM a fill may hold in flight: physical / 50 within 32 MiB … 512 MiB,
// 8 GiB / 50 when physical memory is unknown.
uint64_t raster_memory_budget(std::optional<uint64_t> physical_bytes);

// How many threads fill `frames` frames of a composition: as many as let
// 3 × n + 2 frames fit the pressure-scaled budget, at most the hardware
// threads less 2 and 8, at least 1; 1 for a static scene.
uint32_t raster_thread_count(uint32_t comp_width, uint32_t comp_height, uint32_t downsample, const RasterMachine& m,
                             size_t frames, bool is_static);

// Where a fill registers its threads and what it counts them by. Tests give
// their own registry; benchmarks force the thread count past the machine's cap.
struct RasterFillEnv {
  BackgroundWorkerRegistry* registry = nullptr;  // the process's when null
  std::optional<RasterMachine> machine;          // this machine's when empty
  std::optional<uint32_t> forced_threads;
};

// Renews the slot (cancelling any running fill), prepares the scene and
// starts the threads over `frames` in list order; returns at once. The
// slot's receiver is set when at least one thread started. Answers how
// many started (the idle hook does not look).
uint32_t run_raster_fill(RasterJobSlot& slot, std::shared_ptr<const CompModel> comp, std::vector<FrameKey> frames,
                     uint32_t downsample, const RasterFillEnv& env = {});

// The most recently finished frame of any thread of one fill; only ever
// try-locked, so that no thread waits on another to reuse its pixels.
struct SharedLastFrame {
  struct Record {
    std::shared_ptr<const FrameState> state;
    PixelPayload pixels;
    uint32_t width = 0, height = 0;
  };
  std::mutex mutex;
  std::optional<Record> record;
};

// What each raster thread is given.
struct RasterFillWorker {
  ResultSender<RasterFrameResult> sender;
  std::shared_ptr<std::atomic<uint64_t>> generation;
  uint64_t expected_generation = 0;
  std::shared_ptr<std::atomic<uint64_t>> next_index;
  std::shared_ptr<const std::vector<FrameKey>> frames;
  std::shared_ptr<const PreparedScene> scene;
  std::shared_ptr<SharedLastFrame> last_frame;
  std::shared_ptr<std::atomic<bool>> cancel;
  std::shared_ptr<const FrameState> static_state;
  uint32_t downsample = 1;
  bool optimize = true;
};

// The body of each "velocinta-raster-" thread: takes the next listed frame
// until the list is used up, the generation moves, the receiver is gone or a
// frame fails (logged, cancel flag raised, host woken).
void raster_fill_worker_loop(RasterFillWorker worker);

}  // namespace vel
