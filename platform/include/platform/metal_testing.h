// Timing and faults of the Metal stand-in, for tests and the stand-in host's
// scenario, with the ledger of live objects and the record of misuse that
// the real framework would reject. None of this exists in the framework.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/metal.h"

namespace platform {

enum class MetalCompletion {
  at_commit,          // executed and completed inside commit, on the caller's thread
  device_thread,      // executed on the device's own thread, in commit order
  held,               // kept until release_held_command_buffers
  without_executing,  // completed at commit without running anything
};
void set_metal_completion(MetalCompletion mode);
MetalCompletion metal_completion();
// Completes up to `count` held command buffers in commit order on the
// caller's thread; answers how many.
uint64_t release_held_command_buffers(uint64_t count = UINT64_MAX);
uint64_t held_command_buffer_count();
// Returns once the device thread has ended every buffer committed so far.
void wait_metal_device_idle();

// The next `count` committed command buffers end with status 5 unexecuted.
void fail_next_command_buffers(uint64_t count);

enum class MetalCreation {
  command_queue,
  buffer,
  texture,
  command_buffer,
  blit_encoder,
  render_encoder,
  next_drawable,
};
// The next `count` calls of that creation answer none.
void fail_next_creations(MetalCreation what, uint64_t count);
// Library compilation or pipeline creation fails with `error` until cleared.
void fail_library_compilation(std::optional<NSError> error);
void fail_pipeline_creation(std::optional<NSError> error);

// MTLCreateSystemDefaultDevice answers none while false.
void set_gpu_available(bool available);

// Back to completion at commit, no faults, a GPU.
void reset_metal_faults();

struct MetalLedger {
  int64_t devices = 0;
  int64_t queues = 0;
  int64_t libraries = 0;
  int64_t pipelines = 0;
  int64_t buffers = 0;
  int64_t textures = 0;
  int64_t command_buffers = 0;
  int64_t drawables = 0;
  uint64_t buffer_to_texture_copies = 0;  // blit copies executed, ever
  uint64_t draws = 0;                     // draw calls executed, ever
};
MetalLedger metal_ledger();

// Presentations that reached a screen, by how the drawable was filled: a
// shader draw, a blit copy, the drawable's own present (CPU-written), or a
// pass with neither (a clear).
struct MetalPresentTotals {
  uint64_t drawn = 0;
  uint64_t blitted = 0;
  uint64_t direct = 0;
  uint64_t cleared = 0;
};
MetalPresentTotals metal_present_totals();

// Each misuse, as one line, in the order met.
std::vector<std::string> metal_misuse_record();
void clear_metal_misuse_record();

}  // namespace platform
