// One launched worker, from its start until the supervision marks it
// finished, and the check for workers that have exited.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "core/dir_fd.h"
#include "pool/process/process_control.h"

namespace vel {

// Shared with a memory worker's reader thread: [0] is the reader's cancel
// flag, raised when the worker has exited; the other two belong to the
// reader and the supervision.
using ReaderFlags = std::array<std::atomic<bool>, 3>;

struct PoolJob {
  std::optional<double> first_frame_ms;
  std::optional<double> per_frame_ms;
  bool released = false;
  std::filesystem::path log_path;
  WorkerChild child;
  uint64_t launched_ns = 0;  // monotonic
  uint32_t worker_index = 0;
  int64_t first_frame = 0;
  int64_t last_frame = 0;
  uint64_t delivered = 0;
  std::shared_ptr<ReaderFlags> reader_flags;  // memory kinds only
  uint32_t mfr_percent = 0;
  bool finished = false;
  bool clean_exit = false;
  bool supervised = false;
  bool replay = false;  // its range replays frames another worker missed
  std::optional<uint64_t> last_frame_at_ns;  // monotonic, of its last delivered frame
  std::optional<double> last_frame_ms;       // since its launch; per_frame_ms is the smoothed gap
  // The folder made for it, held open, and the path it writes by: a path
  // that stops leading there (its job folder swapped for a link) ends it.
  std::filesystem::path worker_dir;
  std::shared_ptr<const DirFd> worker_folder;
  // Monotonic, when the supervision first saw each frame of its range
  // delivered or given up: from then on it owes the batch nothing, and only
  // its end is awaited.
  std::optional<uint64_t> settled_at_ns;

  // Whether it takes one of the batch's slots: running and still owing
  // frames. A settled worker that lingers (an engine slow to shut down)
  // holds none, so the next range starts beside it.
  bool holds_slot() const { return !finished && !settled_at_ns; }
};

// A worker seen to end: its pid and the monotonic instant of detection.
struct EndedClient {
  pid_t pid = 0;
  uint64_t detected_ns = 0;
  std::optional<uint64_t> ended_boot_ns;  // for the engine rule
};

// Polls every job not yet finished; marks the ended ones (clean when the
// status is 0), raises their reader's cancel flag, appends them to `ended`
// and their index to `exited`. A status other than 0 logs "pool: worker {}
// sorti en erreur ({}) — log : {}". A child reaped by someone else (a host
// that reaps its children) ends quietly, as a clean exit; a poll that fails
// otherwise logs "pool: try_wait: {}" and finishes the job (not clean).
// Either way only its engines are killed: its pid is never signalled.
// Answers the number of jobs still running.
size_t reap_exited_workers(std::vector<PoolJob>& jobs, std::vector<EndedClient>& ended, std::vector<size_t>& exited);

// Ends a settled worker still running after its grace: its process group
// and its engines are killed as any worker's are, and its end is booked as a
// clean one (finished, its reader's cancel flag raised, appended to `ended`
// and `exited`), without a line: it owed nothing, so its end fails nothing.
// A job already finished is left alone.
void end_settled_worker(PoolJob& job, size_t index, std::vector<EndedClient>& ended, std::vector<size_t>& exited);

}  // namespace vel
