#include "pool/runtime/engine_prewarm.h"

#include <sys/stat.h>

#include <algorithm>
#include <system_error>

#include "core/switches.h"
#include "pool/process/spawned_registry.h"
#include "pool/process/worker_command.h"
#include "pool/process/worker_launch.h"
#include "pool/runtime/pool_directory.h"
#include "pool/schedule/worker_capacity.h"

namespace vel {

bool prewarm_allowed(const PoolRuntime& rt, Instant now, const PrewarmWorld& world) {
  if (world.frame_packing || world.measured_admission) return false;
  if (rt.selected_output >= kOutputMemory) return false;
  if (!rt.pool_enabled || rt.disabled_for_session || rt.ranges_held || rt.gpu_contended || rt.preparation_hold)
    return false;
  if (rt.handoff_deadline) return false;
  if (rt.comp_is_3d && world.async_renders_in_flight != 0) return false;
  if (rt.batch_comp_name.empty() || !rt.warm_engines.empty()) return false;
  if (rt.last_prewarm_at && (now < *rt.last_prewarm_at || (now - *rt.last_prewarm_at) / kNsPerSec < kPrewarmSpacingSecs))
    return false;
  return true;
}

PrewarmWorld live_prewarm_world(uint64_t async_renders_in_flight) {
  PrewarmWorld w;
  w.async_renders_in_flight = async_renders_in_flight;
  w.frame_packing = frame_packing_enabled();
  w.measured_admission = measured_admission_enabled();
  w.missing_ok = missing_ok_enabled();
  w.pool_worker_count = [] { return pool_worker_count(); };
  w.pool_directory = [] { return pool_directory_path(); };
  w.spawn_engine = [](const std::filesystem::path& program,
                      const std::vector<std::string>& args) -> std::optional<WorkerChild> {
    pid_t pid = -1;
    const auto env = worker_environment(current_environment(), PoolOutputKind::Psd);
    if (spawn_worker_process(pid, program.string(), args, env, -1, -1) != 0) return std::nullopt;
    return WorkerChild{register_spawned_pid(pid)};
  };
  return w;
}

namespace {

std::filesystem::path kept_snapshot_path(const std::filesystem::path& pool_dir) {
  return pool_dir / "warmup" / "snapshot.aep";
}

// Empties the warm-up folder but for the snapshot kept for it.
void clear_warmup(const std::filesystem::path& warmup) {
  std::error_code ec;
  for (std::filesystem::directory_iterator it(warmup, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename() == "snapshot.aep") continue;
    std::error_code ignored;
    std::filesystem::remove_all(it->path(), ignored);
  }
}

}  // namespace

void keep_snapshot_for_prewarm(const PoolRuntime& rt, const PrewarmWorld& world) {
  if (world.frame_packing || world.measured_admission || rt.selected_output >= kOutputMemory) return;
  if (!rt.pool_enabled || !rt.snapshot_path) return;
  const auto pool_dir = world.pool_directory();
  if (!pool_dir) return;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(*rt.snapshot_path, ec)) return;
  const std::filesystem::path kept = kept_snapshot_path(*pool_dir);
  std::filesystem::create_directories(kept.parent_path(), ec);
  std::filesystem::remove(kept, ec);
  std::filesystem::create_hard_link(*rt.snapshot_path, kept, ec);
  if (ec) std::filesystem::copy_file(*rt.snapshot_path, kept, std::filesystem::copy_options::overwrite_existing, ec);
}

void prewarm_pool_workers(PoolRuntime& rt, Instant now, const PrewarmWorld& world) {
  if (!prewarm_allowed(rt, now, world)) return;
  const auto pool_dir = world.pool_directory();
  if (!pool_dir || !rt.aerender.resolved || !*rt.aerender.resolved) return;
  std::error_code ec;
  std::filesystem::path snapshot = kept_snapshot_path(*pool_dir);
  if (!std::filesystem::is_regular_file(snapshot, ec)) snapshot = pool_snapshot_path(*pool_dir);
  if (!std::filesystem::is_regular_file(snapshot, ec)) return;
  const std::filesystem::path warmup = *pool_dir / "warmup";
  clear_warmup(warmup);
  const uint64_t workers = rt.comp_is_3d ? 1 : world.pool_worker_count();
  const uint32_t mfr = static_cast<uint32_t>(std::max<uint64_t>(80 / std::max<uint64_t>(workers, 1), 1));
  const uint64_t engines = std::min(workers, kMaxWarmEngines);
  const PoolOutputKind kind = rt.selected_output == kOutputTga ? PoolOutputKind::Tga : PoolOutputKind::Psd;
  for (uint64_t i = 0; i < engines; ++i) {
    const std::filesystem::path dir = warmup / ("w" + std::to_string(i));
    std::filesystem::create_directories(dir, ec);
    if (ec) continue;
    // Quarter size when the templates exist: the warm-up only loads the engine.
    WorkerCommand command{snapshot.string(), rt.batch_comp_name, 0, 0, kind, mfr,
                          worker_output_path(dir, kind).string(), world.missing_ok,
                          rt.templates_ready == 1 ? uint64_t{4} : uint64_t{1}, false};
    if (auto child = world.spawn_engine(**rt.aerender.resolved, worker_arguments(command))) {
      rt.warm_engines.push_back(WarmEngine{std::move(*child)});
    }
  }
  if (!rt.warm_engines.empty()) rt.last_prewarm_at = now;
}

}  // namespace vel
