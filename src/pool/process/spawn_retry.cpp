#include "pool/process/spawn_retry.h"

#include "core/saturating.h"

namespace vel {

SpawnFailureAction SpawnRetryPolicy::failed(uint64_t now_ns, bool others_running) {
  ++failures_;
  if (!others_running || failures_ > kSpawnRetries) {
    // The next range starts with a clean count, and without waiting: the
    // batch may have nothing else to launch.
    *this = SpawnRetryPolicy{};
    return SpawnFailureAction::Drop;
  }
  retry_at_ns_ = sat_add(now_ns, kSpawnRetryGapNs);
  return SpawnFailureAction::Retry;
}

}  // namespace vel
