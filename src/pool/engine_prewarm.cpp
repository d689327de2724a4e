#include "pool/engine_prewarm.h"

#include <sys/stat.h>

#include <algorithm>
#include <system_error>

#include "core/switches.h"
#include "pool/pool_directory.h"
#include "pool/spawned_registry.h"
#include "pool/worker_capacity.h"
#include "pool/worker_command.h"
#include "pool/worker_launch.h"

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

void prewarm_pool_workers(PoolRuntime& rt, Instant now, const PrewarmWorld& world) {
  if (!prewarm_allowed(rt, now, world)) return;
  const auto pool_dir = world.pool_directory();
  if (!pool_dir || !rt.aerender.resolved || !*rt.aerender.resolved) return;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(pool_snapshot_path(*pool_dir), ec)) return;
  const std::filesystem::path warmup = *pool_dir / "warmup";
  std::filesystem::remove_all(warmup, ec);
  const uint64_t workers = rt.comp_is_3d ? 1 : world.pool_worker_count();
  const uint32_t mfr = static_cast<uint32_t>(std::max<uint64_t>(80 / std::max<uint64_t>(workers, 1), 1));
  const uint64_t engines = std::min(workers, kMaxWarmEngines);
  const PoolOutputKind kind = rt.selected_output == kOutputTga ? PoolOutputKind::Tga : PoolOutputKind::Psd;
  for (uint64_t i = 0; i < engines; ++i) {
    const std::filesystem::path dir = warmup / ("w" + std::to_string(i));
    std::filesystem::create_directories(dir, ec);
    if (ec) continue;
    // Quarter size when the templates exist: the warm-up only loads the engine.
    WorkerCommand command{pool_snapshot_path(*pool_dir).string(), rt.batch_comp_name, 0, 0, kind, mfr,
                          worker_output_path(dir, kind).string(), world.missing_ok,
                          rt.templates_ready == 1 ? uint64_t{4} : uint64_t{1}, false};
    if (auto child = world.spawn_engine(**rt.aerender.resolved, worker_arguments(command))) {
      rt.warm_engines.push_back(WarmEngine{std::move(*child)});
    }
  }
  if (!rt.warm_engines.empty()) rt.last_prewarm_at = now;
}

}  // namespace vel
