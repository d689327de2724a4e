// The shared guard of a batch's job folder: every thread that writes or reads
// inside it holds a reference, and the folder is disposed of when the last
// holder lets go, never while a decoder or reader still works in it.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>

namespace vel {

class JobDirGuard {
 public:
  // What happens to the folder when the last holder lets go: handed to the
  // deferred file work queue in the plug-in, deleted at once by default.
  using Disposer = std::function<void(const std::filesystem::path&)>;

  JobDirGuard(std::filesystem::path dir, Disposer dispose);
  ~JobDirGuard();
  JobDirGuard(const JobDirGuard&) = delete;
  JobDirGuard& operator=(const JobDirGuard&) = delete;

  const std::filesystem::path& path() const { return dir_; }
  // An error line named a log in the folder: the folder stays for the user
  // to read, and the next load's purge removes it.
  void keep_for_next_load() { kept_.store(true, std::memory_order_relaxed); }

 private:
  std::filesystem::path dir_;
  Disposer dispose_;
  std::atomic<bool> kept_{false};
};

using SharedJobDir = std::shared_ptr<JobDirGuard>;

// Removes the folder and everything in it; errors are ignored.
void delete_job_dir(const std::filesystem::path& dir);

SharedJobDir make_job_dir_guard(std::filesystem::path dir, JobDirGuard::Disposer dispose = delete_job_dir);

}  // namespace vel
