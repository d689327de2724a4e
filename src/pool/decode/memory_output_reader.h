// The host's reader of one memory-mode worker, "velocinta-memory-" + the
// worker's index: it takes each frame the worker publishes into its
// shared-memory slot, checks it against the output contract, reduces it by
// the batch's decimation factor and hands it to the pool's frame channel.
// It owns the host's side of the segment: whichever way it ends, and also
// when it is dropped without ever running, the output is closed, its
// manifest removed, the segment's name unlinked and its memory unmapped, the
// memory-output token freed, and `exited` set last.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "cache/worker_registry.h"
#include "core/result.h"
#include "memout/output_consumer.h"
#include "pool/batch/pool_frame_delivery.h"
#include "pool/runtime/job_dir_guard.h"

namespace vel {

// How long the reader sleeps on an empty slot or a full frame channel.
inline constexpr std::chrono::milliseconds kMemoryReaderPoll{2};

// Everything the reader owns; moved into its thread. The pool keeps the
// other references to the shared flags.
class MemoryReaderContext {
 public:
  MemoryReaderContext(FrameSender frames, MemoryOutputConsumer consumer,
                      std::chrono::steady_clock::time_point batch_start, SharedJobDir job_dir,
                      std::shared_ptr<std::atomic<bool>> stop, std::shared_ptr<std::atomic<bool>> complete,
                      std::shared_ptr<std::atomic<bool>> abandon,
                      std::shared_ptr<std::atomic<uint64_t>> decimation_factor,
                      std::shared_ptr<std::atomic<bool>> exited, uint64_t worker);
  MemoryReaderContext(MemoryReaderContext&& other) noexcept;
  MemoryReaderContext& operator=(MemoryReaderContext&&) = delete;
  MemoryReaderContext(const MemoryReaderContext&) = delete;
  MemoryReaderContext& operator=(const MemoryReaderContext&) = delete;
  // A context that never ran releases the output as a reader's end would.
  ~MemoryReaderContext();

  uint64_t worker() const { return worker_; }
  const std::shared_ptr<std::atomic<bool>>& stop_flag() const { return stop_; }

 private:
  friend void memory_output_worker_loop(MemoryReaderContext context);

  // The exit steps; `idle` asks the host for an early idle call after
  // `exited` is set. Runs once.
  void finish(std::vector<uint8_t>* reusable, bool idle) noexcept;

  FrameSender frames_;
  std::optional<MemoryOutputConsumer> consumer_;
  std::chrono::steady_clock::time_point batch_start_;
  SharedJobDir job_dir_;
  std::shared_ptr<std::atomic<bool>> stop_;
  std::shared_ptr<std::atomic<bool>> complete_;
  std::shared_ptr<std::atomic<bool>> abandon_;
  std::shared_ptr<std::atomic<uint64_t>> decimation_factor_;
  std::shared_ptr<std::atomic<bool>> exited_;
  uint64_t worker_ = 0;
  bool armed_ = true;  // false once finished or moved from
};

// The thread body; consumes the context. Its results are the messages on
// the frame channel, `complete`, `exited` and the segment's closed word.
void memory_output_worker_loop(MemoryReaderContext context);

// Starts the reader as "velocinta-memory-<worker>" in `registry`, with the
// context's `stop` flag as its stop handle. When the registry refuses (full,
// or no thread), the context is dropped unrun, which releases the output;
// the error is the registry's.
Status<> start_memory_output_reader(MemoryReaderContext context,
                                    BackgroundWorkerRegistry& registry = BackgroundWorkerRegistry::process());

}  // namespace vel
