// The record of the workers a host started, kept in the pool folder that
// host holds locked. A host that dies (SIGKILL, crash) leaves its workers
// and their engines running, reparented away; the next host to take the
// lock reads the record and ends them. A pid alone names nothing once its
// process is gone, so each entry carries the start time the kernel gave the
// process: only a process with that same start time is the one recorded.
// The file is read back from disk, where anything may have been put in its
// place: it is checked strictly and refused whole at the first doubt.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/dir_fd.h"
#include "core/result.h"

namespace vel {

class SpawnedChild;

inline constexpr const char* kWorkerRecordName = "workers";
// Far above what one host runs at once (24 workers, a few warm engines).
inline constexpr size_t kMaxRecordedWorkers = 1024;
inline constexpr size_t kMaxWorkerRecordBytes = 64 * 1024;

// A process as recorded: its pid, its start time (clock ticks since boot,
// as /proc/PID/stat gives it) and its process group.
struct RecordedProcess {
  pid_t pid = 0;
  uint64_t start_ticks = 0;
  pid_t pgid = 0;
  bool operator==(const RecordedProcess&) const = default;
};

struct WorkerRecord {
  RecordedProcess host;  // its pgid is not used
  std::vector<RecordedProcess> workers;
  bool operator==(const WorkerRecord&) const = default;
};

// "velocinta-workers 1", then "host PID START", then one
// "worker PID START PGID" per worker, each line ending in a newline.
std::string format_worker_record(const WorkerRecord& record);

// The exact form above and nothing else: strict decimals, pids from 2, a
// worker that leads its own group (every worker starts so), no more than
// kMaxRecordedWorkers. The error says what was refused.
Result<WorkerRecord> parse_worker_record(std::string_view text);

// The record at `path`: nothing when there is none; an error when the file
// is not a plain file of ours, writable by us alone and of a sane size, or
// does not parse.
Result<std::optional<WorkerRecord>> read_worker_record(const std::filesystem::path& path);
// The same for the entry `name` of the open folder `dir`, never through a
// link; `shown` names it in the error text.
Result<std::optional<WorkerRecord>> read_worker_record_at(int dir, const std::string& name,
                                                          const std::filesystem::path& shown);

// `pid` as the kernel describes it now; nothing when it is gone.
std::optional<RecordedProcess> recorded_process(pid_t pid);

// The live record of this host: armed once the host holds the pool folder,
// rewritten (whole, through a temporary and a rename) at each worker
// start with the workers not yet reaped. Unarmed, it writes nothing.
class WorkerRecordBook {
 public:
  // With `folder` (the pool folder held open), the record is written by its
  // name there, never through `path`.
  void arm(std::filesystem::path path, RecordedProcess host, std::shared_ptr<const DirFd> folder = nullptr);
  bool armed() const;
  // Adds a child just spawned (still our unreaped child, so its /proc
  // entry is its own) and rewrites the file.
  Status<> add(std::shared_ptr<SpawnedChild> child);
  // Rewrites the file with the children not yet reaped.
  Status<> write();

 private:
  // The file's text as the entries stand, under `mutex_`; then written
  // under `file_mutex_` alone, when no later text was written first, so
  // that arming the book never waits on a write of the launch thread.
  Status<> write_unlocked(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::mutex file_mutex_;
  uint64_t texts_made_ = 0;    // under mutex_
  uint64_t text_written_ = 0;  // under file_mutex_
  std::optional<std::filesystem::path> path_;
  std::shared_ptr<const DirFd> folder_;
  RecordedProcess host_;
  struct Entry {
    std::shared_ptr<SpawnedChild> child;
    RecordedProcess process;
  };
  std::vector<Entry> entries_;
};

// The book of the plug-in; never destroyed.
WorkerRecordBook& worker_record_book();

}  // namespace vel
