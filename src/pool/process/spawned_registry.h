// Every process this host started (workers and prewarmed engines), for the
// sweep at quit. Each one is held through a pidfd opened while it was still
// our unreaped child, so that it is waited for and signalled exactly, never
// through a pid that someone else's process may have taken since. Once
// reaped (by us or, "no child", by someone else) the pidfd is closed and
// nothing is ever signalled through that entry again. A child is started on
// the launch thread and then polled, reaped and signalled by one thread at a
// time; the registry's mutex guards only its list.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace vel {

class SpawnedChild {
 public:
  SpawnedChild(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
  ~SpawnedChild();
  SpawnedChild(const SpawnedChild&) = delete;
  SpawnedChild& operator=(const SpawnedChild&) = delete;

  pid_t pid() const { return pid_; }
  // -1 once reaped, or when the system offers no pidfd.
  int pidfd() const { return pidfd_; }
  bool reaped() const { return reaped_.load(std::memory_order_acquire); }
  // CLOCK_BOOTTIME when seen to end.
  std::optional<uint64_t> ended_boot_ns() const { return ended_boot_ns_; }
  // Records the end (the first call counts) and lets the pidfd go.
  void mark_reaped(uint64_t ended_boot_ns);

 private:
  pid_t pid_;
  int pidfd_;
  // Read by the worker record on the launch thread while the main thread
  // reaps.
  std::atomic<bool> reaped_{false};
  std::optional<uint64_t> ended_boot_ns_;
};

class SpawnedRegistry {
 public:
  // Kept for the life of the process, in registration order.
  void add(std::shared_ptr<SpawnedChild> child);
  std::vector<std::shared_ptr<SpawnedChild>> snapshot() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<SpawnedChild>> entries_;
};

// The registry of the plug-in; never destroyed.
SpawnedRegistry& spawned_registry();

// Registers a child just spawned (not yet reaped, so its pidfd is exact).
std::shared_ptr<SpawnedChild> register_spawned_pid(pid_t pid);

}  // namespace vel
