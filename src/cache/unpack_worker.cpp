#include "cache/unpack_worker.h"

#include <algorithm>

#include "cache/eviction.h"
#include "cache/memory_pressure.h"
#include "cache/payload_accounting.h"
#include "cache/unpack_frame.h"
#include "core/log.h"
#include "core/machine.h"
#include "core/process_flags.h"

namespace vel {

namespace {
constexpr uint64_t kMiB = 1024 * 1024;
constexpr size_t kDrainMaxResults = 8;
constexpr uint64_t kDrainMaxBytes = uint64_t{1} << 25;
constexpr uint64_t kDrainMaxNs = 2'000'000;
}  // namespace

void unpack_worker_loop(const std::shared_ptr<UnpackQueue>& queue) {
  // However the loop ends, later submissions must see a gone worker.
  struct MarkStopped {
    UnpackQueue& q;
    ~MarkStopped() { stop_unpack_queue(q); }
  } stopped{*queue};
  while (std::optional<UnpackWork> work = wait_for_unpack_work(*queue)) {
    std::optional<RgbaFrame> frame = unpack_packed_frame(work->width, work->height, work->packed.bytes(), work->time);
    work->packed.reset();
    // Frames decoded ahead of need wait for the next tick; an early one is
    // asked for only when the panel waits for this very frame.
    if (finish_unpack_work(*queue, work->sequence, std::move(frame))) request_early_idle();
  }
}

std::shared_ptr<UnpackQueue> start_unpack_worker(BackgroundWorkerRegistry& registry) {
  auto queue = std::make_shared<UnpackQueue>();
  Status<> started = registry.start(
      "velocinta-unpack", [queue] { unpack_worker_loop(queue); }, [queue] { stop_unpack_queue(*queue); });
  if (!started.ok()) return nullptr;
  return queue;
}

uint64_t unpack_byte_limit(uint64_t budget, uint64_t pressure) {
  const uint64_t c = std::clamp<uint64_t>(budget, 16 * kMiB, 128 * kMiB);
  return (c / 100) * pressure + (c % 100) * pressure / 100;
}

uint8_t request_frame_unpack(FrameCache& cache, FrameKey key, bool awaited) {
  return request_frame_unpack(cache, key, memory_pressure_percent(), BackgroundWorkerRegistry::process(), awaited);
}

uint8_t request_frame_unpack(FrameCache& cache, FrameKey key, uint64_t pressure, BackgroundWorkerRegistry& registry,
                             bool awaited) {
  auto it = cache.index.find(key);
  if (it == cache.index.end()) return 0;
  if (it->second.is_raw()) return 1;

  if (!cache.unpack_queue && !cache.packing_disabled) {
    cache.unpack_queue = start_unpack_worker(registry);
    if (!cache.unpack_queue) {
      cache.packing_disabled = true;
      log_line("ERROR", "cache: unpack worker unavailable; disabling packing");
      evict_frame(cache, key);
      return 0;
    }
  }
  if (cache.packing_disabled) {
    // Nothing can decode it any more.
    evict_frame(cache, key);
    return 0;
  }
  const PackedFrame& p = *it->second.packed();
  UnpackJob job{p.packed, key, p.time, p.width, p.height, awaited};
  switch (submit_unpack_job(*cache.unpack_queue, std::move(job), unpack_byte_limit(cache.budget_bytes, pressure))) {
    case SubmitOutcome::Queued:
    case SubmitOutcome::NotNow:
      return 0;
    case SubmitOutcome::Invalid:
      evict_frame(cache, key);
      return 0;
    case SubmitOutcome::WorkerGone:
      cache.packing_disabled = true;
      evict_frame(cache, key);
      log_line("ERROR", "cache: unpack worker disconnected; disabling packing");
      return 0;
  }
  return 0;
}

std::vector<FrameKey> drain_unpack_results(FrameCache& cache) {
  std::vector<FrameKey> became_raw;
  if (!cache.unpack_queue) return became_raw;
  const uint64_t start = mono_ns();
  size_t taken = 0;
  uint64_t bytes = 0;
  while (taken < kDrainMaxResults && bytes < kDrainMaxBytes) {
    if (taken > 0 && mono_ns() - start >= kDrainMaxNs) break;
    std::optional<UnpackedFrame> done = take_unpacked_frame(*cache.unpack_queue);
    if (!done) break;
    ++taken;
    if (done->result) bytes = sat_add(bytes, done->result->pixels.size());

    const FrameKey key = done->key;
    auto it = cache.index.find(key);
    if (it == cache.index.end() || !it->second.is_packed() || !same_payload(it->second.packed()->packed, done->packed)) {
      continue;  // evicted, replaced or already unpacked meanwhile
    }
    if (!done->result) {
      evict_frame(cache, key);
      log_line("ERROR", "cache: invalid packed frame discarded");
      continue;
    }
    // The entry's own time: keys sharing one packed payload differ in time.
    RgbaFrame raw = std::move(*done->result);
    raw.time = it->second.packed()->time;
    done.reset();
    std::optional<CachedFrame> old = replace_cache_entry(cache, key, CachedFrame(std::move(raw)));
    if (old) drop_cache_entry(cache, std::move(*old));
    cache.pack_candidates.insert(TimedKey::of(key));
    ++cache.generation;
    enforce_cache_budget(cache);
    auto now = cache.index.find(key);
    if (now != cache.index.end() && now->second.is_raw()) became_raw.push_back(key);
  }
  return became_raw;
}

bool has_pending_jobs(const FrameCache& cache) {
  return cache.unpack_queue && has_pending_unpack_keys(*cache.unpack_queue);
}

uint64_t pending_job_bytes(const FrameCache& cache) {
  return cache.unpack_queue ? pending_unpack_bytes(*cache.unpack_queue) : 0;
}

}  // namespace vel
