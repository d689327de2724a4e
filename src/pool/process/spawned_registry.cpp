#include "pool/process/spawned_registry.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "core/log.h"
#include "pool/process/proc_facts.h"
#include "pool/process/worker_record.h"

namespace vel {

SpawnedChild::~SpawnedChild() {
  if (pidfd_ >= 0) ::close(pidfd_);
}

void SpawnedChild::mark_reaped(uint64_t ended_boot_ns) {
  if (reaped()) return;
  ended_boot_ns_ = ended_boot_ns;
  if (pidfd_ >= 0) ::close(pidfd_);
  pidfd_ = -1;
  reaped_.store(true, std::memory_order_release);
}

void SpawnedRegistry::add(std::shared_ptr<SpawnedChild> child) {
  std::lock_guard lock(mutex_);
  entries_.push_back(std::move(child));
}

std::vector<std::shared_ptr<SpawnedChild>> SpawnedRegistry::snapshot() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

SpawnedRegistry& spawned_registry() {
  static SpawnedRegistry& registry = *new SpawnedRegistry;
  return registry;
}

std::shared_ptr<SpawnedChild> register_spawned_pid(pid_t pid) {
  // Opened with close-on-exec (pidfds always are), so no worker inherits it.
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  const int error = fd < 0 ? errno : 0;
  auto child = std::make_shared<SpawnedChild>(pid, fd);
  // A pidfd opens on our own child until it is reaped, zombie or not: "no
  // such process" means someone else (a host that ignores SIGCHLD) already
  // reaped it, and its pid is free. Only a system without pidfds falls back
  // to waiting by pid.
  if (error == ESRCH) child->mark_reaped(boot_time_ns());
  spawned_registry().add(child);
  // Recorded in the pool folder, so that a host that dies does not leave it
  // running for good. One failure is told; the pool goes on without it.
  if (auto recorded = worker_record_book().add(child); !recorded) {
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) log_line("ERROR", "pool: worker record: " + recorded.error());
  }
  return child;
}

}  // namespace vel
