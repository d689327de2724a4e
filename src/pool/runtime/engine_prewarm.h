// Warming render engines during the edit pause: up to four idle one-frame
// renders of the snapshot, so that the first real batch finds the engines
// already loaded. Main thread only.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include "pool/runtime/pool_runtime.h"

namespace vel {

inline constexpr uint64_t kMaxWarmEngines = 4;
inline constexpr uint64_t kPrewarmSpacingSecs = 8;

struct PrewarmWorld {
  uint64_t async_renders_in_flight = 0;
  bool frame_packing = false;       // VELOCINTA_FRAME_PACKING
  bool measured_admission = true;   // VELOCINTA_MEASURED_ADMISSION
  bool missing_ok = true;           // VELOCINTA_MISSING_OK
  std::function<uint64_t()> pool_worker_count;
  std::function<std::optional<std::filesystem::path>()> pool_directory;
  // Starts one engine; its pid, or nothing when the spawn failed.
  std::function<std::optional<WorkerChild>(const std::filesystem::path& program, const std::vector<std::string>& args)>
      spawn_engine;
};
PrewarmWorld live_prewarm_world(uint64_t async_renders_in_flight);

// Whether the pool is idle and allowed to prewarm now (before the files are looked at).
bool prewarm_allowed(const PoolRuntime& rt, Instant now, const PrewarmWorld& world);

// The engines of the edit pause load the snapshot adopted before the edit
// (a warm-up renders nothing anyone keeps). The edit throws that snapshot
// away, so this keeps its file first, linked (or copied) as the warm-up
// folder's "snapshot.aep"; nothing when the prewarm could not run anyway.
void keep_snapshot_for_prewarm(const PoolRuntime& rt, const PrewarmWorld& world);

// Starts the engines when allowed, a snapshot exists (the one kept for the
// warm-up, else the pool's "snapshot.aep") and aerender is known. The
// warm-up folder, its engines' folders and the kept snapshot are reached
// from the pool folder held, name by name, never through a link: a link or
// a name not this user's at "warmup" is refused with one ERROR line a
// session and left as it is, and no engine starts.
void prewarm_pool_workers(PoolRuntime& rt, Instant now, const PrewarmWorld& world);

// Removes the warm-up folder from the open pool folder `pool` (a link there
// goes, its target stays): the session's end.
void remove_warmup(int pool);

}  // namespace vel
