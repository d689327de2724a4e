#include "pool/spawned_registry.h"

namespace vel {

void SpawnedRegistry::add(pid_t pid) {
  std::lock_guard lock(mutex_);
  entries_.push_back({pid, false, std::nullopt});
}

void SpawnedRegistry::mark_reaped(pid_t pid, uint64_t ended_boot_ns) {
  std::lock_guard lock(mutex_);
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->pid == pid && !it->reaped) {
      it->reaped = true;
      it->ended_boot_ns = ended_boot_ns;
      return;
    }
  }
}

std::vector<SpawnedPid> SpawnedRegistry::snapshot() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

SpawnedRegistry& spawned_registry() {
  static SpawnedRegistry& registry = *new SpawnedRegistry;
  return registry;
}

void register_spawned_pid(pid_t pid) { spawned_registry().add(pid); }

}  // namespace vel
