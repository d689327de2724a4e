// The unpack worker ("velocinta-unpack") and the cache's requests to it.
// The cache asks for a packed frame with request_frame_unpack; the worker
// decodes it in the background; drain_unpack_results, once per idle tick,
// installs the decoded frames as raw entries.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "cache/frame_cache.h"
#include "cache/unpack_queue.h"
#include "cache/worker_registry.h"

namespace vel {

// Body of "velocinta-unpack": decodes the waiting slot nearest the focus,
// stores the result, asks the host for an early idle call when the panel
// awaits one of the slot's frames; returns once the
// queue's stop flag is set (and leaves it set).
void unpack_worker_loop(const std::shared_ptr<UnpackQueue>& queue);

// A new queue with its worker started through `registry`; null when the
// registry refuses the worker.
std::shared_ptr<UnpackQueue> start_unpack_worker(BackgroundWorkerRegistry& registry = BackgroundWorkerRegistry::process());

// clamp(budget, 16 MiB, 128 MiB) × pressure / 100, without overflow: the
// bytes the queued unpack jobs may hold together.
uint64_t unpack_byte_limit(uint64_t budget_bytes, uint64_t pressure_percent);

// 1 when `key` is cached raw; 0 otherwise, after queueing the unpacking of a
// packed entry (asked again on a later tick). A packed frame that can no
// longer be decoded (no worker, invalid size) is evicted. `awaited`: the
// panel waits for this frame, so its decoding asks the host for an early
// idle call; frames asked for ahead of need do not.
uint8_t request_frame_unpack(FrameCache& cache, FrameKey key, bool awaited = false);
uint8_t request_frame_unpack(FrameCache& cache, FrameKey key, uint64_t pressure_percent,
                             BackgroundWorkerRegistry& registry, bool awaited = false);

// Installs finished unpack results (at most 8, 32 MiB or, after the first,
// 2 ms per call) as raw entries; answers the keys that became raw.
std::vector<FrameKey> drain_unpack_results(FrameCache& cache);

// Whether some unpack job still has keys waiting.
bool has_pending_jobs(const FrameCache& cache);
// Raw bytes the queued and running unpack jobs will hold (0 without a queue).
uint64_t pending_job_bytes(const FrameCache& cache);

}  // namespace vel
