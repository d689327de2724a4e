#include "cache/cache_budget.h"

#include <algorithm>

#include "cache/eviction.h"
#include "cache/unpack_queue.h"

namespace vel {

uint64_t cache_reserve_bytes(const CacheReserveInputs& in) {
  uint64_t sum = 0;
  for (uint64_t v : {in.pending_unpack_bytes, in.pack_bytes_in_flight, in.pooled_bytes, in.panel_bytes,
                     in.store_queue_bytes, in.present_job_bytes}) {
    sum = sat_add(sum, v);
  }
  return sum;
}

uint64_t cache_budget_bytes(uint64_t physical_bytes, uint64_t pressure_percent) {
  const unsigned __int128 share = static_cast<unsigned __int128>(physical_bytes / 100 * 12) * pressure_percent / 100;
  const uint64_t budget = share > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(share);
  return std::max<uint64_t>(budget, 1);
}

void refresh_cache_budget(FrameCache& cache, const CacheReserveInputs& in, std::optional<uint64_t> physical_bytes,
                          uint64_t pressure_percent) {
  cache.reserve_bytes = cache_reserve_bytes(in);
  if (!physical_bytes) return;
  cache.budget_bytes = cache_budget_bytes(*physical_bytes, pressure_percent);
  enforce_cache_budget(cache);
}

CacheReserveInputs cache_own_reserve(const FrameCache& cache) {
  CacheReserveInputs in;
  if (cache.unpack_queue) in.pending_unpack_bytes = pending_unpack_bytes(*cache.unpack_queue);
  if (cache.pack_link) in.pack_bytes_in_flight = cache.pack_link->bytes_in_flight;
  return in;
}

}  // namespace vel
