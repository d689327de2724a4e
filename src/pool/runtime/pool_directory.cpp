#include "pool/runtime/pool_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/paths.h"
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
  if (auto ok = ensure_private_dir(pool_dir); !ok) return err(ok.error());
  if (!dispose) dispose = [](const fs::path&) {};
  for (int attempt = 0; attempt < 8; ++attempt) {
    const fs::path dir = pool_dir / next_name();
    if (::mkdir(dir.c_str(), 0700) == 0) return make_job_dir_guard(dir, dispose);
    if (errno != EEXIST) return err(dir.string() + ": " + os_text(errno));
  }
  return err(std::string("pool directory collisions"));
}

std::optional<PoolFolderRefusal> take_pool_folder_lock(const fs::path& pool_dir) {
  if (auto ok = ensure_private_dir(pool_dir); !ok) return PoolFolderRefusal{ok.error(), false};
  const fs::path lock_path = pool_dir / kPoolLockName;
  const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return PoolFolderRefusal{lock_path.string() + ": " + os_text(errno), false};
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    const auto holder = read_small_file(lock_path.string(), 32);
    ::close(fd);
    if (e != EWOULDBLOCK) return PoolFolderRefusal{lock_path.string() + ": " + os_text(e), false};
    std::string who = holder ? std::string(holder->substr(0, holder->find('\n'))) : "";
    if (!parse_pid_text(who)) who = "?";
    // The lock lives exactly as long as its holder: a host that ends, or
    // dies, lets go of it, and the next try takes it.
    return PoolFolderRefusal{"dossier " + pool_dir.string() + " utilisé par le processus " + who, true};
  }
  // Held until the process ends (the descriptor is never closed); the pid in
  // the file only names the holder for another host's message.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t n = ::pwrite(fd, pid.data(), pid.size(), 0);
  }
  return std::nullopt;
}

std::optional<PoolFolderRefusal> PoolFolderClaim::claim(const fs::path& pool_dir,
                                                        const std::function<void(const fs::path&)>& on_taken) {
  if (held_) return std::nullopt;
  if (refusal_ && !refusal_->held_elsewhere) return refusal_;
  if (pool_dir.empty()) {
    refusal_ = PoolFolderRefusal{"no temporary directory", false};
    return refusal_;
  }
  refusal_ = take_pool_folder_lock(pool_dir);
  if (refusal_) return refusal_;
  held_ = true;
  if (on_taken) on_taken(pool_dir);
  return std::nullopt;
}

std::optional<PoolFolderRefusal> purge_pool_directory() {
  return process_claim().claim(pool_directory_path().value_or(fs::path()), [](const fs::path& dir) {
    // A host that died left its workers running: they go before anything
    // else looks at the folder or at the running processes.
    take_over_worker_record(dir);
    // The list is taken now, so folders this run creates later are never in it.
    start_pool_purge(dir, pool_purge_list(dir));
  });
}

bool pool_folder_held() { return process_claim().held(); }

const std::optional<PoolFolderRefusal>& pool_folder_refusal() { return process_claim().refusal(); }

}  // namespace vel
