// Starting one aerender worker on one frame range: its log, its folder, its
// command line and environment, a process group of its own, and in memory
// mode its shared-memory output (made before the process exists) and the
// reader thread that takes its frames.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cache/worker_registry.h"
#include "memout/output_consumer.h"
#include "pool/batch/pool_job.h"
#include "pool/process/worker_command.h"
#include "pool/runtime/job_dir_guard.h"

namespace vel {

// The process-wide memory-output token: at most one memory output exists in
// the host process at a time.
bool take_memory_output_token();
void release_memory_output_token();
bool memory_output_token_held();

// A memory output and the token it holds: dropping it drops the consumer
// (closing the segment for the worker) and then gives the token back.
class MemoryOutputLease {
 public:
  explicit MemoryOutputLease(MemoryOutputConsumer consumer) : consumer_(std::move(consumer)) {}
  MemoryOutputLease(MemoryOutputLease&& other) noexcept : consumer_(std::move(other.consumer_)) {
    other.consumer_.reset();
  }
  MemoryOutputLease& operator=(MemoryOutputLease&&) = delete;
  ~MemoryOutputLease();
  // Hands the consumer and the token over to a new owner (the worker's
  // reader), which releases both when it ends; the lease then holds nothing
  // and releases nothing. Called once, on a lease that holds a consumer.
  MemoryOutputConsumer hand_over() {
    MemoryOutputConsumer out = std::move(*consumer_);
    consumer_.reset();
    return out;
  }

 private:
  std::optional<MemoryOutputConsumer> consumer_;
};

// What a memory worker's reader thread is given.
struct MemoryReaderStart {
  MemoryOutputLease output;
  std::shared_ptr<ReaderFlags> flags;
  uint32_t worker_index = 0;
  int64_t first_frame = 0;
  int64_t last_frame = 0;
  int64_t frame_step = 1;
  uint32_t time_scale = 0;
};
// The reader's body; the caller's closure carries the batch's frame sender
// and counters.
using MemoryReaderBody = std::function<void(MemoryReaderStart&)>;

struct LaunchRequest {
  std::filesystem::path aerender;
  std::string snapshot_path;
  std::string comp_name;
  uint64_t downsample = 1;
  uint32_t mfr_percent = 0;
  SharedJobDir job_dir;
  uint32_t worker_index = 0;
  int64_t first_frame = 0;
  int64_t last_frame = 0;
  bool extreme = false;
  PoolOutputKind kind = PoolOutputKind::Tga;
  int64_t frame_step = 1;
  uint32_t time_scale = 0;
  std::optional<uint32_t> comp_width;
  std::optional<uint32_t> comp_height;
  MemoryReaderBody reader_body;
  // The batch's stop flag, which ends the reader at once; the registry's
  // stop handle raises it beside the job's cancel flag, which only ends the
  // reader once the slot is empty.
  std::shared_ptr<std::atomic<bool>> reader_stop;
  BackgroundWorkerRegistry* registry = nullptr;  // the process registry when null
};

// Starts the worker, on the launch thread: the folder, the log, the memory
// output and posix_spawn may each wait on the system, which the host's main
// thread never does. Nothing when it was not started: the reason is logged
// (one ERROR line; none for the two memory refusals: a downsample beyond 32
// bits, or another memory output holding the token), nothing is left
// running and the memory output, if made, is released.
std::optional<PoolJob> spawn_pool_worker(const LaunchRequest& request);

// Starts `program` in a process group of its own, standard input from the
// null device, output to `out_fd` and `err_fd` (the null device when < 0),
// nothing else inherited. Answers posix_spawn's error number (0 on success).
int spawn_worker_process(pid_t& pid, const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, int out_fd, int err_fd);

// Tests: replaces the duplication of the log handle for standard error.
void set_log_duplicator_for_tests(int (*duplicate)(int));

}  // namespace vel
