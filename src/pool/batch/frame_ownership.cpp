#include "pool/batch/frame_ownership.h"

namespace vel {

bool worker_owns_frame(std::span<const PoolJob> jobs, std::optional<uint64_t> worker, int64_t frame) {
  if (!worker) return false;
  for (const PoolJob& job : jobs) {
    if (job.worker_index == *worker) return job.first_frame <= frame && frame <= job.last_frame;
  }
  return false;
}

}  // namespace vel
