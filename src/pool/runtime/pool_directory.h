// The pool's private folder, "velocinta_pool" in the temporary directory,
// and its job folders. The folder is ours alone (mode 0700, checked before
// each use) and one host at a time uses it: the host that holds the lock on
// the folder purges it and launches workers; another host of the same user
// leaves it alone and keeps its pool off while that host lives.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/dir_fd.h"
#include "core/result.h"
#include "pool/runtime/job_dir_guard.h"

namespace vel {

namespace fs = std::filesystem;

inline constexpr const char* kPoolDirName = "velocinta_pool";
// The holder's pid, for another host's message. The lock itself is on the
// folder: a file can be removed while held (a temporary-file cleaner, the
// user), and a lock on a file that is gone keeps nobody out.
inline constexpr const char* kPoolLockName = "host.lock";

// The temporary directory joined with "velocinta_pool"; nothing without a
// usable temporary directory.
std::optional<fs::path> pool_directory_path();

// Creates `dir` (mode 0700) when missing, then checks it: a directory, not a
// symbolic link, owned by us, not writable by group or others. The error
// names what is wrong.
Status<> ensure_private_dir(const fs::path& dir);

// The pool folder `pool_dir` held open: the descriptor this host locked when
// `pool_dir` is the folder it claimed (none once that hold is lost, so that
// nothing more goes there), otherwise the folder made when missing, opened
// without following a link and checked to be private to this user. Main
// thread only. The error names what is wrong.
Result<std::shared_ptr<const DirFd>> open_pool_folder(const fs::path& pool_dir);

// A fresh job folder "job_<host pid>_<wall ns>_<n>" in `pool_dir`, made and
// held through the pool folder's descriptor (open_pool_folder). Up to 8
// names are tried; eight collisions give "pool directory collisions". Never
// logs. The folder outlives the guard unless `dispose` says otherwise: the
// load purge removes it.
Result<SharedJobDir> create_job_dir(const fs::path& pool_dir, JobDirGuard::Disposer dispose = {});

// The job-name counter's next value (process-wide, from 0).
uint64_t next_job_counter();

// create_job_dir with the names given by `next_name`, one per attempt.
Result<SharedJobDir> create_job_dir_named(const fs::path& pool_dir, const std::function<std::string()>& next_name,
                                          JobDirGuard::Disposer dispose = {});

// Why this host may not use the pool folder.
struct PoolFolderRefusal {
  std::string reason;
  // Another process holds the folder's lock, and `reason` names its pid:
  // the folder is free again once that host ends. Otherwise the folder is
  // not ours to use (a link, another user's, open to others, no temporary
  // directory) for the rest of the session.
  bool held_elsewhere = false;
};

// A folder as the system knows it, whatever its path.
struct FolderIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FolderIdentity&) const = default;
};

// Takes the lock on the folder `pool_dir` itself, on a descriptor of it kept
// open for the life of the process (never inherited by a child), and puts
// the pid in a fresh "host.lock" (one the user or another program left there
// that is not a plain file of this user's with one name stays, with one
// line). The lock is let go only when the process ends,
// however it ends. Answers nothing when taken (`taken`, when given, then
// names the folder locked), or why the folder is not ours to use.
// `held`, when given, receives the locked descriptor (kept open by the
// process whether or not it is asked for).
std::optional<PoolFolderRefusal> take_pool_folder_lock(const fs::path& pool_dir, FolderIdentity* taken = nullptr,
                                                       int* held = nullptr);

// A process's hold on its pool folder: none at first, then held from the
// first lock taken to the end of the process, unless the folder's path stops
// naming the folder locked (removed, or replaced by another): the hold is
// then lost for the session. Main thread only.
class PoolFolderClaim {
 public:
  // Nothing while held. Otherwise takes the folder's lock (an empty path,
  // no temporary directory, is refused) and, when it is taken, calls
  // `on_taken` with the folder, once in the life of the claim. A folder
  // found not ours, or lost, is refused again without another look; one
  // held by another host is tried again at every call.
  std::optional<PoolFolderRefusal> claim(const fs::path& pool_dir,
                                         const std::function<void(const fs::path&)>& on_taken);
  // Held, and the folder's path still names the folder locked: looked at on
  // each call, so that nothing is purged, launched or cleaned in a folder
  // that is no longer this host's.
  bool held();
  // Why the hold was lost since it was taken (a refusal for the session);
  // none while held and when never held.
  std::optional<PoolFolderRefusal> lost();
  // Why the latest try failed, or why the hold was lost; none before the
  // first try and while held.
  const std::optional<PoolFolderRefusal>& refusal() const { return refusal_; }
  // Whether `pool_dir` is the folder this claim took (held or lost since).
  bool took(const fs::path& pool_dir) const { return (held_ || lost_) && dir_ == pool_dir; }
  // A descriptor of the folder held, none when not held (looked at as
  // held() does).
  std::shared_ptr<const DirFd> folder();
  // The descriptor that holds the folder locked, open for the life of the
  // process; -1 before the first lock.
  int descriptor() const { return fd_; }

 private:
  bool held_ = false;
  int fd_ = -1;  // the locked descriptor, never closed
  bool lost_ = false;
  fs::path dir_;
  FolderIdentity identity_;
  std::optional<PoolFolderRefusal> refusal_;
};

// At load, and again each time the pool is turned on until it succeeds:
// takes the pool folder for this host, ends the workers a dead host left
// (its worker record), and hands the folder's old entries to the
// background. Without the lock, purges nothing and answers why (a refusal
// that is not `held_elsewhere` keeps the pool off for the session:
// "pool: DÉSACTIVÉ pour la session — " is the caller's to log). Once held,
// answers nothing at once.
std::optional<PoolFolderRefusal> purge_pool_directory();

// Whether this host holds the pool folder, its path still naming it.
bool pool_folder_held();
// Why this host lost the pool folder it held (for the session); none while
// held and when never held.
std::optional<PoolFolderRefusal> pool_folder_lost();
// Set while the pool folder is refused to this host (at load or at the
// latest try); none once held.
const std::optional<PoolFolderRefusal>& pool_folder_refusal();
// The descriptor of the pool folder this host locked (never closed), or -1
// before it took one. Main thread.
int pool_folder_descriptor();

}  // namespace vel
