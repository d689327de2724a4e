// The shared guard of a batch's job folder: every thread that writes or reads
// inside it holds a reference, and the folder is disposed of when the last
// holder lets go, never while a decoder or reader still works in it. The
// folder is held by descriptor from its making, beside the pool folder's: its
// path may come to name something else (a link to a user's folder), never
// what the guard works in or removes.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "core/dir_fd.h"

namespace vel {

// A job folder as made: the pool folder and the job folder held open, and
// the job folder's name in the pool folder.
struct HeldJobFolder {
  std::shared_ptr<const DirFd> pool;
  DirFd job;
  std::string name;
};

// The removal of one job folder, to run where the disposer says. Copies
// share the descriptors.
class JobFolderRemoval {
 public:
  JobFolderRemoval(std::filesystem::path path, std::shared_ptr<const DirFd> pool, std::shared_ptr<const DirFd> job,
                   std::string name)
      : path_(std::move(path)), pool_(std::move(pool)), job_(std::move(job)), name_(std::move(name)) {}
  const std::filesystem::path& path() const { return path_; }
  // For a disposer that only names the folder (tests).
  operator const std::filesystem::path&() const { return path_; }  // NOLINT(google-explicit-constructor)
  // Empties the folder held and removes its name from the pool folder when
  // that name still gives it; nothing is reached through a link. A folder
  // known only by its path is removed as delete_job_dir does.
  void operator()() const;

 private:
  std::filesystem::path path_;
  std::shared_ptr<const DirFd> pool_;
  std::shared_ptr<const DirFd> job_;
  std::string name_;
};

// Removes the folder and everything in it, every step from the folder above
// without following a link (a link at `dir` itself goes, its target stays);
// errors are ignored.
void delete_job_dir(const std::filesystem::path& dir);
// Runs the removal at once.
void remove_job_folder(const JobFolderRemoval& removal);

class JobDirGuard {
 public:
  // What happens to the folder when the last holder lets go: handed to the
  // deferred file work queue in the plug-in, removed at once by default.
  using Disposer = std::function<void(const JobFolderRemoval&)>;

  JobDirGuard(std::filesystem::path dir, Disposer dispose, HeldJobFolder held = {});
  ~JobDirGuard();
  JobDirGuard(const JobDirGuard&) = delete;
  JobDirGuard& operator=(const JobDirGuard&) = delete;

  const std::filesystem::path& path() const { return dir_; }
  // The job folder held open since it was made; none for a guard made from
  // a path alone.
  const std::shared_ptr<const DirFd>& folder() const { return job_; }
  // The folder's removal, to run now (nothing ran in it).
  JobFolderRemoval removal() const { return JobFolderRemoval(dir_, pool_, job_, name_); }
  // An error line named a log in the folder: the folder stays for the user
  // to read, and the next load's purge removes it.
  void keep_for_next_load() { kept_.store(true, std::memory_order_relaxed); }

 private:
  std::filesystem::path dir_;
  Disposer dispose_;
  std::shared_ptr<const DirFd> pool_;
  std::shared_ptr<const DirFd> job_;
  std::string name_;
  std::atomic<bool> kept_{false};
};

using SharedJobDir = std::shared_ptr<JobDirGuard>;

SharedJobDir make_job_dir_guard(std::filesystem::path dir, JobDirGuard::Disposer dispose = remove_job_folder,
                                HeldJobFolder held = {});

}  // namespace vel
