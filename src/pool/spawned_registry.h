// Every process group this host started (workers and prewarmed engines), for
// the sweep at quit. Each entry remembers whether its leader was reaped and
// when it was seen to end: a reaped pid is free and may name anyone's
// process by now, so the quit sweep signals only leaders still unreaped.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace vel {

struct SpawnedPid {
  pid_t pid = 0;
  bool reaped = false;
  std::optional<uint64_t> ended_boot_ns;  // CLOCK_BOOTTIME when seen to end
};

class SpawnedRegistry {
 public:
  // Entries are kept for the life of the process, in registration order.
  void add(pid_t pid);
  // The leader `pid` was reaped (by us or, "no child", by someone else) and
  // seen to end at `ended_boot_ns`. The newest entry of that pid is marked.
  void mark_reaped(pid_t pid, uint64_t ended_boot_ns);
  std::vector<SpawnedPid> snapshot() const;

 private:
  mutable std::mutex mutex_;
  std::vector<SpawnedPid> entries_;
};

// The registry of the plug-in; never destroyed.
SpawnedRegistry& spawned_registry();

void register_spawned_pid(pid_t pid);

}  // namespace vel
