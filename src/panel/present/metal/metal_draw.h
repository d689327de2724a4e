// draw_metal_frame: one frame onto the panel's CAMetalLayer by the best path
// the Metal present worker still has. GPU: the frame uploaded once into a
// cached mipmapped texture and scaled by the preview shader. Blit: prepared
// on the CPU into a staging buffer that a blit copies. Direct: prepared on
// the CPU and written into the drawable. A draw never waits for the GPU; a
// committed command buffer stays in one of three slots of its path until
// the worker polls it.
#pragma once

#include <array>
#include <functional>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "cache/rgba_frame.h"
#include "panel/present/pixel_prep.h"
#include "panel/present/present_request.h"
#include "panel/present/present_telemetry.h"
#include "platform/metal.h"

namespace vel {

inline constexpr size_t kMetalSlots = 3;

// A committed draw, until its command buffer ends.
struct MetalDrawRecord {
  std::shared_ptr<platform::MTLCommandBuffer> command;
  PresentRequest request;
  std::optional<double> target_time;
  RgbaFrame frame;
  FitDetail detail;
  double submitted_ms = 0.0;
  uint64_t upload_bytes = 0;
  uint64_t generation = 0;
};

// A slot's staging buffer outlives its record, for the next draw.
struct MetalSlot {
  std::optional<MetalDrawRecord> record;
  std::shared_ptr<platform::MTLBuffer> staging;
};

struct TextureCacheEntry {
  PixelPayload pixels;  // identity of the source frame, kept alive
  std::shared_ptr<platform::MTLTexture> texture;
  uint64_t width = 0;
  uint64_t height = 0;
  uint64_t levels = 0;
  uint64_t cost = 0;  // mip-chain bytes + the pixel buffer's capacity
  uint64_t stamp = 0;
};

// The smallest stamp, the first on a tie; none for an empty cache.
std::optional<size_t> least_recent_texture(const std::vector<TextureCacheEntry>& cache);

// A compiled preview pipeline, shared by every worker on its device.
struct MetalPipeline {
  std::shared_ptr<platform::MTLDevice> device;
  std::shared_ptr<platform::MTLRenderPipelineState> state;
};

// The process's pipeline for `device`, compiled at the first call (errors
// logged); none when compilation fails.
std::shared_ptr<MetalPipeline> obtain_metal_pipeline(const std::shared_ptr<platform::MTLDevice>& device);
// Live entries of the process's pipeline list (tests).
size_t metal_pipeline_list_size();

struct MetalGpuState {
  std::array<MetalSlot, kMetalSlots> slots;
  std::vector<TextureCacheEntry> cache;
  uint64_t cache_cost = 0;
  std::shared_ptr<platform::MTLDevice> device;
  std::shared_ptr<platform::MTLCommandQueue> queue;
  std::shared_ptr<MetalPipeline> pipeline;
  uint64_t stamp = 0;
  uint32_t next_slot = 0;

  // Removes entries, least recent first, until the cost is at most `budget`
  // and at most `max_entries` remain.
  void trim_cache(uint64_t budget, size_t max_entries);
  void clear_cache();
};

struct MetalBlitState {
  std::array<MetalSlot, kMetalSlots> slots;
  std::shared_ptr<platform::MTLDevice> device;
  std::shared_ptr<platform::MTLCommandQueue> queue;
  uint32_t next_slot = 0;
};

// What a draw is for: the job's live flags and the copy of its request.
struct MetalDrawContext {
  const std::atomic<bool>* stop = nullptr;
  const std::atomic<uint64_t>* job_generation = nullptr;
  uint64_t generation = 0;
  PresentRequest request;
  std::optional<double> target_time;
  uint64_t pressure_percent = 100;            // memory_pressure_percent at the draw
  std::optional<uint64_t> physical_memory;   // physical_memory_bytes
  double now_ms = 0.0;                        // submission stamp
  // Puts the drawn picture on screen by calling its argument, or drops it
  // (a stop came since the draw was made); answers whether it showed it.
  // Called once the draw's commands have ended, on the thread that ended
  // them (the direct path's at once). Unset: the picture is shown.
  std::function<bool(const std::function<void()>& show)> present;

  // False once the job was stopped or moved to another generation.
  bool current() const;
};

// True when a frame was submitted or presented; false when nothing was (the
// caller retries later). May drop `gpu` or `blit` on the way.
bool draw_metal_frame(platform::CAMetalLayer& layer, const RgbaFrame& frame, uint64_t view_width,
                      uint64_t view_height, PresentScratch& scratch, std::vector<uint8_t>& output,
                      std::optional<MetalGpuState>& gpu, std::optional<MetalBlitState>& blit,
                      const MetalDrawContext& context);

}  // namespace vel
