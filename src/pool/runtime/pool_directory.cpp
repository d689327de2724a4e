#include "pool/runtime/pool_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>

#include "core/file_replace.h"
#include "core/log.h"
#include "core/paths.h"
#include "pool/process/launch_thread.h"
#include "pool/process/orphan_workers.h"
#include "pool/process/proc_facts.h"
#include "pool/runtime/pool_purge.h"

namespace vel {

namespace {

std::string os_text(int e) { return std::string(std::strerror(e)) + " (os error " + std::to_string(e) + ")"; }

uint64_t wall_ns() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  return ns > 0 ? static_cast<uint64_t>(ns) : 0;
}

// The host's one claim on its pool folder, for the life of the process.
PoolFolderClaim& process_claim() {
  static PoolFolderClaim& claim = *new PoolFolderClaim;
  return claim;
}

}  // namespace

std::optional<fs::path> pool_directory_path() {
  const auto tmp = temp_dir();
  if (!tmp) return std::nullopt;
  return *tmp / kPoolDirName;
}

Status<> ensure_private_dir(const fs::path& dir) {
  // Every launch and every worker passes here once the folder exists: one
  // look answers then, and only a missing folder is made.
  struct stat st{};
  if (::lstat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT) return err(dir.string() + ": " + os_text(errno));
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      if (errno != ENOENT) return err(dir.string() + ": " + os_text(errno));
      std::error_code ec;
      fs::create_directories(dir.parent_path(), ec);
      if (ec) return err(dir.parent_path().string() + ": " + ec.message());
      if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return err(dir.string() + ": " + os_text(errno));
    }
    if (::lstat(dir.c_str(), &st) != 0) return err(dir.string() + ": " + os_text(errno));
  }
  if (S_ISLNK(st.st_mode)) return err(dir.string() + " is a symbolic link");
  if (!S_ISDIR(st.st_mode)) return err(dir.string() + " is not a directory");
  if (st.st_uid != ::geteuid()) return err(dir.string() + " belongs to user " + std::to_string(st.st_uid));
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return err(dir.string() + " is writable by other users");
  return ok_unit();
}

uint64_t next_job_counter() {
  static std::atomic<uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed);
}

Result<SharedJobDir> create_job_dir(const fs::path& pool_dir, JobDirGuard::Disposer dispose) {
  return create_job_dir_named(
      pool_dir,
      [] {
        return "job_" + std::to_string(::getpid()) + "_" + std::to_string(wall_ns()) + "_" +
               std::to_string(next_job_counter());
      },
      std::move(dispose));
}

Result<SharedJobDir> create_job_dir_named(const fs::path& pool_dir, const std::function<std::string()>& next_name,
                                          JobDirGuard::Disposer dispose) {
  auto pool = open_pool_folder(pool_dir);
  if (!pool) return err(pool.error());
  if (!dispose) dispose = [](const JobFolderRemoval&) {};
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::string name = next_name();
    // Made here, from the folder held: a name already there (a link, a
    // folder of anyone's) is another attempt, never the batch's folder.
    DirFd job = make_dir_at(pool.value()->get(), name);
    if (job.ok())
      return make_job_dir_guard(pool_dir / name, dispose, HeldJobFolder{pool.value(), std::move(job), name});
    if (errno != EEXIST) return err((pool_dir / name).string() + ": " + os_text(errno));
  }
  return err(std::string("pool directory collisions"));
}

namespace {

// The pid the holder wrote, read without following a link or waiting on a
// FIFO put in the file's place; "?" when there is none to read.
std::string holder_pid(int dir) {
  const int fd = ::openat(dir, kPoolLockName, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return "?";
  struct stat st{};
  char buf[32];
  ssize_t n = -1;
  if (::fstat(fd, &st) == 0 && foreign_file_kind(st).empty()) n = ::pread(fd, buf, sizeof buf, 0);
  ::close(fd);
  if (n <= 0) return "?";
  std::string_view text(buf, static_cast<size_t>(n));
  text = text.substr(0, text.find('\n'));
  return parse_pid_text(text) ? std::string(text) : "?";
}

// The pid goes into a note made afresh and renamed into place, never through
// what stood at the name: a second name of a user's file there would be
// truncated and written over. Whatever is not a note a host could have made
// stays as it is, said once at the taking; the lock on the folder decides
// who holds the pool either way.
void write_holder_pid(int dir, const fs::path& pool_dir) {
  if (const auto st = status_at(dir, kPoolLockName)) {
    if (const std::string kind = foreign_file_kind(*st); !kind.empty()) {
      log_line("ERROR", "pool: verrou non écrit — " + (pool_dir / kPoolLockName).string() + " : " + kind +
                            ", laissé tel quel");
      return;
    }
  }
  if (auto written = replace_file_at(dir, kPoolLockName, std::to_string(::getpid()) + "\n", 0600); !written)
    log_line("ERROR", "pool: verrou non écrit — " + (pool_dir / kPoolLockName).string() + " : " + written.error());
}

std::optional<FolderIdentity> identity_at(const fs::path& dir) {
  struct stat st{};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  return FolderIdentity{st.st_dev, st.st_ino};
}

}  // namespace

std::optional<PoolFolderRefusal> take_pool_folder_lock(const fs::path& pool_dir, FolderIdentity* taken, int* held) {
  // A folder swapped for another between the look and the lock is looked at
  // again; one that keeps changing under us is not ours to use.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (auto ok = ensure_private_dir(pool_dir); !ok) return PoolFolderRefusal{ok.error(), false};
    const int fd = ::open(pool_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR) continue;
      return PoolFolderRefusal{pool_dir.string() + ": " + os_text(errno), false};
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int e = errno;
      const std::string who = holder_pid(fd);
      ::close(fd);
      if (e != EWOULDBLOCK) return PoolFolderRefusal{pool_dir.string() + ": " + os_text(e), false};
      // The lock lives exactly as long as its holder: a host that ends, or
      // dies, lets go of it, and the next try takes it.
      return PoolFolderRefusal{"dossier " + pool_dir.string() + " utilisé par le processus " + who, true};
    }
    struct stat st{};
    const std::optional<FolderIdentity> named = identity_at(pool_dir);
    if (::fstat(fd, &st) != 0 || !named || *named != FolderIdentity{st.st_dev, st.st_ino}) {
      ::close(fd);
      continue;
    }
    // Held until the process ends: the descriptor is never closed.
    write_holder_pid(fd, pool_dir);
    if (taken) *taken = *named;
    if (held) *held = fd;
    return std::nullopt;
  }
  return PoolFolderRefusal{"dossier " + pool_dir.string() + " remplacé pendant sa prise", false};
}

std::optional<PoolFolderRefusal> PoolFolderClaim::claim(const fs::path& pool_dir,
                                                        const std::function<void(const fs::path&)>& on_taken) {
  if (held()) return std::nullopt;
  if (refusal_ && !refusal_->held_elsewhere) return refusal_;
  if (pool_dir.empty()) {
    refusal_ = PoolFolderRefusal{"no temporary directory", false};
    return refusal_;
  }
  FolderIdentity identity;
  refusal_ = take_pool_folder_lock(pool_dir, &identity, &fd_);
  if (refusal_) return refusal_;
  held_ = true;
  dir_ = pool_dir;
  identity_ = identity;
  if (on_taken) on_taken(pool_dir);
  return std::nullopt;
}

bool PoolFolderClaim::held() {
  if (!held_) return false;
  if (identity_at(dir_) == identity_) return true;
  // Removed, or another folder in its place, which another host may hold by
  // now: nothing of this host's goes there any more.
  held_ = false;
  lost_ = true;
  refusal_ = PoolFolderRefusal{"dossier " + dir_.string() + " supprimé ou remplacé depuis sa prise", false};
  return false;
}

std::shared_ptr<const DirFd> PoolFolderClaim::folder() {
  if (!held() || fd_ < 0) return nullptr;
  // A descriptor of its own: whoever holds it closes it, never the lock's.
  auto copy = std::make_shared<DirFd>(::fcntl(fd_, F_DUPFD_CLOEXEC, 0));
  if (!copy->ok()) return nullptr;
  return copy;
}

std::optional<PoolFolderRefusal> PoolFolderClaim::lost() {
  (void)held();
  return lost_ ? refusal_ : std::nullopt;
}

std::optional<PoolFolderRefusal> purge_pool_directory() {
  return process_claim().claim(pool_directory_path().value_or(fs::path()), [](const fs::path& dir) {
    // A host that died left its workers running: they go before this host
    // starts one or looks at the running processes, all of which happens on
    // the launch thread after this; ending them waits for them and walks
    // every process, which the thread that claims (the idle hook's toggle)
    // must not.
    run_on_launch_thread([dir] { (void)take_over_worker_record(dir); });
    // The list is taken now, so folders this run creates later are never in
    // it; the thread removes them through the folder held.
    if (auto pool = open_pool_folder(dir)) start_pool_purge(pool.value(), pool_purge_names(pool.value()->get()));
  });
}

Result<std::shared_ptr<const DirFd>> open_pool_folder(const fs::path& pool_dir) {
  PoolFolderClaim& claim = process_claim();
  if (claim.took(pool_dir)) {
    if (auto held = claim.folder()) return held;
    return err(claim.refusal() ? claim.refusal()->reason : pool_dir.string() + ": not held");
  }
  if (auto ok = ensure_private_dir(pool_dir); !ok) return err(ok.error());
  auto dir = std::make_shared<DirFd>(::open(pool_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir->ok()) return err(pool_dir.string() + ": " + os_text(errno));
  struct stat st{};
  if (::fstat(dir->get(), &st) != 0 || !is_private_folder(st))
    return err(pool_dir.string() + " replaced while opened");
  return std::shared_ptr<const DirFd>(std::move(dir));
}

bool pool_folder_held() { return process_claim().held(); }

std::optional<PoolFolderRefusal> pool_folder_lost() { return process_claim().lost(); }

const std::optional<PoolFolderRefusal>& pool_folder_refusal() { return process_claim().refusal(); }

int pool_folder_descriptor() { return process_claim().descriptor(); }

}  // namespace vel
