// Which frames a batch takes from its workers: only a frame of the range
// the delivering worker was given. A worker that writes more (a frame also
// under another number, a range shifted by one) hands over pictures nobody
// asked for under numbers that name other frames; such a frame reaches
// neither the cache nor the disk store.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "pool/batch/pool_job.h"

namespace vel {

// Whether `frame` lies in the range of the batch's worker numbered
// `worker`; false for a worker the batch never started, or none named.
bool worker_owns_frame(std::span<const PoolJob> jobs, std::optional<uint64_t> worker, int64_t frame);

}  // namespace vel
