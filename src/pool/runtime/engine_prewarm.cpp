#include "pool/runtime/engine_prewarm.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "core/dir_fd.h"
#include "core/log.h"
#include "core/switches.h"
#include "pool/process/spawned_registry.h"
#include "pool/process/worker_command.h"
#include "pool/process/worker_launch.h"
#include "pool/runtime/pool_directory.h"
#include "pool/runtime/project_snapshot.h"
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

constexpr const char* kWarmupName = "warmup";
constexpr const char* kKeptSnapshotName = "snapshot.aep";

// The warm-up folder this process made, as the system knows it: the one
// folder of that name it works in without making it again. Main thread only.
std::optional<struct stat>& made_warmup() {
  static std::optional<struct stat>& made = *new std::optional<struct stat>;
  return made;
}

// A link at the warm-up's name, or a name not this user's, is said once a
// session, and left as it is.
void refuse_warmup(const std::filesystem::path& pool_dir, const std::string& why) {
  static bool said = false;
  if (std::exchange(said, true)) return;
  log_line("ERROR", "pool: préchauffage refusé — " + (pool_dir / kWarmupName).string() + " : " + why);
}

std::string os_text(int e) { return std::string(std::strerror(e)) + " (os error " + std::to_string(e) + ")"; }

// The warm-up folder in the pool folder held, made when missing, never
// reached through a link. The folder this process made is used again; one it
// did not make (an earlier run's the load's purge has not removed yet) goes
// as the purge would take it, and a fresh one is made: the name is the
// pool's own. A link, or anything not a private folder of this user, is
// refused and left alone.
DirFd open_warmup(int pool, const std::filesystem::path& pool_dir) {
  errno = 0;
  const std::optional<struct stat> st = status_at(pool, kWarmupName);
  if (!st && errno != ENOENT) {
    refuse_warmup(pool_dir, os_text(errno));
    return DirFd();
  }
  if (st) {
    if (S_ISLNK(st->st_mode)) {
      refuse_warmup(pool_dir, "lien symbolique, non suivi");
      return DirFd();
    }
    if (!is_private_folder(*st)) {
      refuse_warmup(pool_dir, "pas un dossier privé de cet utilisateur");
      return DirFd();
    }
    if (made_warmup() && same_file(*made_warmup(), *st)) {
      DirFd dir = open_dir_at(pool, kWarmupName);
      struct stat opened{};
      if (dir.ok() && ::fstat(dir.get(), &opened) == 0 && same_file(opened, *st)) return dir;
      refuse_warmup(pool_dir, "remplacé pendant son ouverture");
      return DirFd();
    }
    (void)remove_tree_at(pool, kWarmupName);
  }
  DirFd dir = make_dir_at(pool, kWarmupName);
  if (!dir.ok()) {
    refuse_warmup(pool_dir, os_text(errno));
    return dir;
  }
  struct stat made{};
  if (::fstat(dir.get(), &made) == 0) made_warmup() = made;
  return dir;
}

// The pool folder of the prewarm, held.
std::shared_ptr<const DirFd> prewarm_pool_folder(const PrewarmWorld& world, std::filesystem::path& pool_dir) {
  const auto dir = world.pool_directory();
  if (!dir) return nullptr;
  pool_dir = *dir;
  auto pool = open_pool_folder(pool_dir);
  return pool ? pool.value() : nullptr;
}

// An open regular file of this user.
bool own_regular_file(int fd) {
  struct stat st{};
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

// Copies the open file `from` whole into a new file `name` of the folder
// `dir`, made exclusively (never through a link).
bool copy_into(int from, int dir, const char* name) {
  const int to = ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (to < 0) return false;
  char buf[1 << 16];
  off_t at = 0;
  bool whole = true;
  for (;;) {
    const ssize_t n = ::pread(from, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      whole = n == 0;
      break;
    }
    for (ssize_t done = 0; done < n && whole;) {
      const ssize_t w = ::write(to, buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) whole = false;
      else done += w;
    }
    if (!whole) break;
    at += n;
  }
  ::close(to);
  if (!whole) (void)::unlinkat(dir, name, 0);
  return whole;
}

}  // namespace

void keep_snapshot_for_prewarm(const PoolRuntime& rt, const PrewarmWorld& world) {
  if (world.frame_packing || world.measured_admission || rt.selected_output >= kOutputMemory) return;
  if (!rt.pool_enabled || !rt.snapshot_path) return;
  std::filesystem::path pool_dir;
  const auto pool = prewarm_pool_folder(world, pool_dir);
  // The adopted snapshot is a file of the pool folder itself, opened from it.
  if (!pool || rt.snapshot_path->parent_path() != pool_dir) return;
  const std::string source = rt.snapshot_path->filename().native();
  const int from = ::openat(pool->get(), source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (from < 0) return;
  if (own_regular_file(from)) {
    const DirFd warmup = open_warmup(pool->get(), pool_dir);
    if (warmup.ok()) {
      (void)::unlinkat(warmup.get(), kKeptSnapshotName, 0);
      if (::linkat(pool->get(), source.c_str(), warmup.get(), kKeptSnapshotName, 0) != 0)
        (void)copy_into(from, warmup.get(), kKeptSnapshotName);
    }
  }
  ::close(from);
}

void prewarm_pool_workers(PoolRuntime& rt, Instant now, const PrewarmWorld& world) {
  if (!prewarm_allowed(rt, now, world)) return;
  if (!rt.aerender.resolved || !*rt.aerender.resolved) return;
  std::filesystem::path pool_dir;
  const auto pool = prewarm_pool_folder(world, pool_dir);
  if (!pool) return;
  const auto regular_at = [](int dir, const char* name) {
    const auto st = status_at(dir, name);
    return st && S_ISREG(st->st_mode) && st->st_uid == ::geteuid();
  };
  const std::filesystem::path warmup_path = pool_dir / kWarmupName;
  const DirFd warmup = open_warmup(pool->get(), pool_dir);
  if (!warmup.ok()) return;
  std::filesystem::path snapshot = warmup_path / kKeptSnapshotName;
  if (!regular_at(warmup.get(), kKeptSnapshotName)) {
    if (!regular_at(pool->get(), kKeptSnapshotName)) return;
    snapshot = pool_snapshot_path(pool_dir);
  }
  // Emptied but for the snapshot kept for it, through the folder held.
  empty_folder(warmup.get(), [](const std::string& name) { return name == kKeptSnapshotName; });
  const uint64_t workers = rt.comp_is_3d ? 1 : world.pool_worker_count();
  const uint32_t mfr = static_cast<uint32_t>(std::max<uint64_t>(80 / std::max<uint64_t>(workers, 1), 1));
  const uint64_t engines = std::min(workers, kMaxWarmEngines);
  const PoolOutputKind kind = rt.selected_output == kOutputTga ? PoolOutputKind::Tga : PoolOutputKind::Psd;
  for (uint64_t i = 0; i < engines; ++i) {
    const std::string name = "w" + std::to_string(i);
    const std::filesystem::path dir = warmup_path / name;
    // Made now from the folder held; the engine writes by path, which must
    // lead there.
    const DirFd engine_dir = make_dir_at(warmup.get(), name);
    if (!engine_dir.ok() || !path_leads_to(dir, engine_dir.get())) continue;
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

void remove_warmup(int pool) { (void)remove_tree_at(pool, kWarmupName); }

}  // namespace vel
