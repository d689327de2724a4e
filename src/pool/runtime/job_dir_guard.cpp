#include "pool/runtime/job_dir_guard.h"

#include <system_error>

namespace vel {

JobDirGuard::JobDirGuard(std::filesystem::path dir, Disposer dispose)
    : dir_(std::move(dir)), dispose_(std::move(dispose)) {}

JobDirGuard::~JobDirGuard() {
  if (!dispose_ || kept_.load(std::memory_order_relaxed)) return;
  try {
    dispose_(dir_);
  } catch (...) {
    // The last holder may be a worker thread: nothing escapes its exit.
  }
}

void delete_job_dir(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

SharedJobDir make_job_dir_guard(std::filesystem::path dir, JobDirGuard::Disposer dispose) {
  return std::make_shared<JobDirGuard>(std::move(dir), std::move(dispose));
}

}  // namespace vel
