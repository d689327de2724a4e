// The project snapshot: workers never open the user's live project, only a
// copy of it in the private pool folder. A copy is taken in the background
// on "velocinta-snapshot" from the saved, unchanged file, or on the main
// thread by a direct copy; either way nothing partial is ever left under a
// name a worker could be given.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "core/dir_fd.h"
#include "core/result.h"
#include "pool/bounded_channel.h"

namespace vel {

namespace fs = std::filesystem;

// A file's size and modification time; equal stamps mean it did not change.
struct FileStamp {
  struct Time {
    int64_t secs = 0;
    uint32_t nanos = 0;
    auto operator<=>(const Time&) const = default;
  };
  uint64_t size = 0;
  Time modified;
  bool operator==(const FileStamp&) const = default;
};

// Stamp of the file at `path`, links followed; none when it cannot be read.
std::optional<FileStamp> file_modified_time(const fs::path& path);
// Wall-clock now, in the stamps' terms.
FileStamp::Time wall_clock_now();

// A finished copy. It owns its file: dropping it deletes the copy.
class SnapshotReady {
 public:
  // `folder`, when given, is the pool folder held open: the file is deleted
  // by its name there, never through the path.
  SnapshotReady(fs::path snapshot, fs::path source, FileStamp stamp, double copy_ms,
                std::shared_ptr<const DirFd> folder = nullptr);
  SnapshotReady(SnapshotReady&& o) noexcept;
  SnapshotReady& operator=(SnapshotReady&& o) noexcept;
  SnapshotReady(const SnapshotReady&) = delete;
  SnapshotReady& operator=(const SnapshotReady&) = delete;
  ~SnapshotReady();

  const fs::path& snapshot() const { return snapshot_; }
  const fs::path& source() const { return source_; }
  const FileStamp& stamp() const { return stamp_; }
  double copy_ms() const { return copy_ms_; }
  // Leaves the file where it is when this goes: the folder that holds it is
  // no longer this host's, and its path may name another host's file.
  void keep_file() noexcept { owns_ = false; }

 private:
  void remove_file() noexcept;
  fs::path snapshot_;
  fs::path source_;
  FileStamp stamp_;
  double copy_ms_ = 0.0;
  bool owns_ = true;
  std::shared_ptr<const DirFd> folder_;
};

struct SnapshotReply {
  uint64_t generation = 0;
  std::variant<SnapshotReady, std::string> result;
};

// Called between two pieces of the copy with the bytes copied so far; tests
// drive the races with an edit or a save through it.
using CopyPieceHook = std::function<void(uint64_t copied)>;

struct SnapshotRequest {
  fs::path source;
  FileStamp stamp;
  fs::path pool_dir;
  uint64_t generation = 0;
  CopyPieceHook between_pieces;  // empty outside tests
  // The pool folder held open: the copy is made, and deleted on failure,
  // by its name there. Without it, `pool_dir` is made and checked.
  std::shared_ptr<const DirFd> pool;
};

// The copy thread's body, run in place: a fresh "saved-<pid>-<n>-<k>.aep"
// (create-new, 0600) in the pool folder, filled in 8 KiB pieces; the opened
// source must carry the request's stamp before, and the path after. Any
// failure deletes the partial copy.
SnapshotReply run_snapshot_copy(const SnapshotRequest& request);

// The reply slot of the copy in flight.
struct SnapshotSlot {
  std::optional<ChannelReceiver<SnapshotReply>> receiver;
  bool pending() const { return receiver.has_value(); }
};

// Starts the copy on "velocinta-snapshot" unless one is pending; a thread
// that cannot start logs "snapshot: thread failed: ..." and leaves the slot
// empty so that a later tick may try again.
void start_snapshot_copy(SnapshotSlot& slot, SnapshotRequest request);

// The reply of the copy in flight, without blocking: none while nothing is
// pending or the thread is still working, or when the reply belongs to an
// older generation (its copy is deleted here).
std::optional<std::variant<SnapshotReady, std::string>> poll_snapshot_reply(SnapshotSlot& slot, uint64_t generation);

// Whether the open project (path, unsaved changes) is clean at `path`.
bool matches_clean_project(const fs::path& path, const std::optional<std::pair<std::string, bool>>& state);

// The pool folder's snapshot target and a fresh, unused sibling name for a
// copy in progress.
fs::path pool_snapshot_path(const fs::path& pool_dir);
fs::path fresh_partial_name(const fs::path& pool_dir, const char* prefix);

// Copies `source` to a fresh name beside `target` (create-new, 0600) and
// renames it onto `target` only once complete; deletes it on any failure.
// With `pool` (the open folder of `target`), both names are reached from it.
Status<> copy_project_file(const fs::path& source, const fs::path& target, int pool = -1);

// Adopts a host save written at `written` (a fresh name): only a regular
// file is renamed onto `target`; anything else is deleted and refused.
// With `pool` (the open folder of both), both names are reached from it.
Status<> adopt_written_file(const fs::path& written, const fs::path& target, int pool = -1);

}  // namespace vel
