// The pool's private folder, "velocinta_pool" in the temporary directory,
// and its job folders. The folder is ours alone (mode 0700, checked before
// each use) and one host at a time uses it: the host that holds the lock on
// its lock file purges it at load and launches workers; another host of the
// same user leaves it alone and keeps its pool off for the session.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/result.h"
#include "pool/runtime/job_dir_guard.h"

namespace vel {

namespace fs = std::filesystem;

inline constexpr const char* kPoolDirName = "velocinta_pool";
inline constexpr const char* kPoolLockName = "host.lock";

// The temporary directory joined with "velocinta_pool"; nothing without a
// usable temporary directory.
std::optional<fs::path> pool_directory_path();

// Creates `dir` (mode 0700) when missing, then checks it: a directory, not a
// symbolic link, owned by us, not writable by group or others. The error
// names what is wrong.
Status<> ensure_private_dir(const fs::path& dir);

// A fresh job folder "job_<host pid>_<wall ns>_<n>" in `pool_dir` (created
// and checked first). Up to 8 names are tried; eight collisions give "pool
// directory collisions". Never logs. The folder outlives the guard unless
// `dispose` says otherwise: the load purge removes it.
Result<SharedJobDir> create_job_dir(const fs::path& pool_dir, JobDirGuard::Disposer dispose = {});

// The job-name counter's next value (process-wide, from 0).
uint64_t next_job_counter();

// create_job_dir with the names given by `next_name`, one per attempt.
Result<SharedJobDir> create_job_dir_named(const fs::path& pool_dir, const std::function<std::string()>& next_name,
                                          JobDirGuard::Disposer dispose = {});

// Takes the lock on "host.lock" in `pool_dir` for the life of the process.
// Answers nothing when held, or the reason the folder is not ours to use
// (another process holds it: its pid is named).
std::optional<std::string> take_pool_folder_lock(const fs::path& pool_dir);

// The entries of `pool_dir` an earlier run left, all but the lock file and
// the worker record (read and replaced at once), to be deleted in the
// background.
std::vector<fs::path> pool_purge_list(const fs::path& pool_dir);

// At load: takes the lock, ends the workers a dead host left (its worker
// record), and hands the folder's old entries to the background; without the lock, purges nothing and answers why the pool must
// stay off ("pool: DÉSACTIVÉ pour la session — " is the caller's to log).
std::optional<std::string> purge_pool_directory();

// Set when the load purge found the folder held by another host.
const std::optional<std::string>& pool_folder_refusal();

}  // namespace vel
