#include "pool/runtime/job_dir_guard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vel {

JobDirGuard::JobDirGuard(std::filesystem::path dir, Disposer dispose, HeldJobFolder held)
    : dir_(std::move(dir)),
      dispose_(std::move(dispose)),
      pool_(std::move(held.pool)),
      job_(held.job.ok() ? std::make_shared<const DirFd>(std::move(held.job)) : nullptr),
      name_(std::move(held.name)) {}

JobDirGuard::~JobDirGuard() {
  if (!dispose_ || kept_.load(std::memory_order_relaxed)) return;
  try {
    dispose_(removal());
  } catch (...) {
    // The last holder may be a worker thread: nothing escapes its exit.
  }
}

void JobFolderRemoval::operator()() const {
  if (!pool_ || !job_ || !pool_->ok() || !job_->ok()) {
    delete_job_dir(path_);
    return;
  }
  empty_folder(job_->get(), [](const std::string&) { return false; });
  // Moved away and something else put at its name: that stays; the folder
  // held was emptied wherever it went.
  struct stat held{};
  const auto named = status_at(pool_->get(), name_);
  if (named && S_ISDIR(named->st_mode) && ::fstat(job_->get(), &held) == 0 && same_file(*named, held))
    (void)::unlinkat(pool_->get(), name_.c_str(), AT_REMOVEDIR);
}

void delete_job_dir(const std::filesystem::path& dir) {
  const DirFd parent = open_dir_followed(dir.has_parent_path() ? dir.parent_path() : std::filesystem::path("."));
  if (parent.ok()) (void)remove_tree_at(parent.get(), dir.filename().native());
}

void remove_job_folder(const JobFolderRemoval& removal) { removal(); }

SharedJobDir make_job_dir_guard(std::filesystem::path dir, JobDirGuard::Disposer dispose, HeldJobFolder held) {
  return std::make_shared<JobDirGuard>(std::move(dir), std::move(dispose), std::move(held));
}

}  // namespace vel
