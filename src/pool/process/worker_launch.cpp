#include "pool/process/worker_launch.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

#include "core/dir_fd.h"
#include "core/log.h"
#include "core/machine.h"
#include "core/repeat_log.h"
#include "core/switches.h"
#include "pool/process/hold_points.h"
#include "pool/process/spawned_registry.h"
#include "pool/runtime/pool_directory.h"

namespace vel {

namespace {

constexpr std::string_view kSpawnFailureKey = "pool: spawn aerender";

std::atomic<uint32_t>& memory_token() {
  static std::atomic<uint32_t> token{0};
  return token;
}

int duplicate_cloexec(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }
std::atomic<int (*)(int)> log_duplicator{&duplicate_cloexec};

std::string os_text(int e) { return std::string(std::strerror(e)) + " (os error " + std::to_string(e) + ")"; }

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

// Workers start with no inherited descriptor but 0, 1 and 2, an empty
// signal mask and every signal at its default: the host may ignore SIGPIPE
// or SIGCHLD, and a worker must not inherit that.
int spawn_worker_process(pid_t& pid, const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, int out_fd, int err_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out_fd >= 0) posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  else posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (err_fd >= 0) posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  else posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<std::string> argv_text;
  argv_text.reserve(args.size() + 1);
  argv_text.push_back(program);
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text = env;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return rc;
}

namespace {

// The job folder held since the batch made it; a guard known only by its
// path (tests) opens it now, a link at its name not followed.
std::shared_ptr<const DirFd> held_job_folder(const JobDirGuard& guard) {
  if (guard.folder()) return guard.folder();
  const std::filesystem::path& path = guard.path();
  const DirFd parent = open_dir_followed(path.parent_path());
  auto job = std::make_shared<DirFd>(parent.ok() ? open_dir_at(parent.get(), path.filename().native()) : DirFd());
  if (!job->ok()) return nullptr;
  return job;
}

// The worker's folder, made now in the job folder held: a name already there
// is not taken over, whatever it is (a folder of the user's behind a link put
// in the job folder's place included).
Result<DirFd> make_worker_dir(int job, const std::string& name) {
  DirFd dir = make_dir_at(job, name);
  if (!dir.ok()) return err(os_text(errno));
  return dir;
}

// The worker writes by path: that path must lead to the folder made for it,
// not through a job folder swapped for a link since.
constexpr const char* kPathNotOurs = "le chemin ne mène plus au dossier créé (lien ou dossier remplacé)";

}  // namespace

bool take_memory_output_token() {
  uint32_t expected = 0;
  return memory_token().compare_exchange_strong(expected, 1, std::memory_order_acq_rel);
}

void release_memory_output_token() { memory_token().store(0, std::memory_order_release); }

bool memory_output_token_held() { return memory_token().load(std::memory_order_acquire) != 0; }

MemoryOutputLease::~MemoryOutputLease() {
  if (!consumer_) return;
  consumer_.reset();
  release_memory_output_token();
}

void set_log_duplicator_for_tests(int (*duplicate)(int)) {
  log_duplicator.store(duplicate != nullptr ? duplicate : &duplicate_cloexec);
}

std::optional<PoolJob> spawn_pool_worker(const LaunchRequest& req) {
  if (!req.job_dir) return std::nullopt;
  hold_at(HoldPoint::FolderAndLog);
  const std::filesystem::path& job_dir = req.job_dir->path();
  if (auto ok = ensure_private_dir(job_dir.parent_path()); !ok) {
    log_line("ERROR", "pool: creation of output directory failed: " + ok.error());
    return std::nullopt;
  }
  const std::string n = std::to_string(req.worker_index);
  const std::filesystem::path log_path = job_dir / ("w" + n + ".log");
  // Everything below is made from the job folder held, never through its
  // path: a log name already there is not written over.
  const std::shared_ptr<const DirFd> job_folder = held_job_folder(*req.job_dir);
  Fd log_fd{job_folder ? ::openat(job_folder->get(), ("w" + n + ".log").c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
                : -1};
  if (log_fd.fd < 0) {
    const int e = errno;
    log_line("ERROR", "pool: log worker: " + log_path.string() + ": " + os_text(e));
    return std::nullopt;
  }
  Fd err_fd{log_duplicator.load()(log_fd.fd)};
  if (err_fd.fd < 0) log_line("ERROR", "pool: worker stderr log unavailable: " + os_text(errno));
  const std::filesystem::path worker_dir = job_dir / ("w" + n);
  Result<DirFd> worker_folder = make_worker_dir(job_folder->get(), "w" + n);
  if (!worker_folder) {
    log_line("ERROR", "pool: création " + worker_dir.string() + " : " + worker_folder.error());
    return std::nullopt;
  }
  // The path handed over must lead there now. Swapped from now on (while
  // the worker starts, or later), it is the supervision's to look at: the
  // job keeps the folder (worker_path_misled).
  if (!path_leads_to(worker_dir, worker_folder.value().get())) {
    log_line("ERROR", "pool: création " + worker_dir.string() + " : " + kPathNotOurs);
    return std::nullopt;
  }
  const std::filesystem::path output = worker_output_path(worker_dir, req.kind);

  std::optional<MemoryOutputLease> lease;
  if (is_memory_kind(req.kind)) {
    if (!req.comp_width || !req.comp_height) {
      log_line("ERROR", "pool: memory output requires known composition dimensions");
      return std::nullopt;
    }
    if (req.downsample > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    const uint64_t d = req.downsample > 1 ? req.downsample : 1;
    if (!take_memory_output_token()) return std::nullopt;
    OutputRequest out;
    out.range_start = req.first_frame;
    out.range_end = req.last_frame;
    out.step = req.frame_step;
    out.key_scale = req.time_scale;
    out.width = static_cast<uint32_t>((*req.comp_width + d - 1) / d);
    out.height = static_cast<uint32_t>((*req.comp_height + d - 1) / d);
    out.null_mode = req.kind == PoolOutputKind::MemoryNull;
    auto made = create_memory_output(output.string(), out);
    if (!made) {
      release_memory_output_token();
      log_line("ERROR", "pool: memory output preparation failed: " + made.error().message);
      return std::nullopt;
    }
    lease.emplace(std::move(made.value()));
  }

  WorkerCommand command{req.snapshot_path, req.comp_name, req.first_frame, req.last_frame, req.kind,
                        req.mfr_percent,   output.string(), missing_ok_enabled(), req.downsample, req.extreme};
  const std::vector<std::string> args = worker_arguments(command);
  const std::vector<std::string> env = worker_environment(current_environment(), req.kind);
  if (lease) {
    perf_log("POOL_MEMORY_SPAWN worker=" + n + " output=" + output.string() + " range=" +
             std::to_string(req.first_frame) + ".." + std::to_string(req.last_frame) +
             " mono_ns=" + std::to_string(mono_ns()));
  }
  pid_t pid = -1;
  hold_at(HoldPoint::BeforeSpawn);
  const int rc = spawn_worker_process(pid, req.aerender.string(), args, env, log_fd.fd, err_fd.fd);
  hold_at(HoldPoint::AfterSpawn);
  if (rc != 0) {
    // A spawn that fails once (a renderer made non-executable) fails again
    // at every retry: the first line says it, the repeats are counted.
    log_repeatable(kSpawnFailureKey, "ERROR", "pool: spawn aerender: " + os_text(rc));
    return std::nullopt;  // the lease goes with its token
  }
  log_repeat_ended(kSpawnFailureKey);
  PoolJob job;
  job.child = WorkerChild{register_spawned_pid(pid)};
  job.log_path = log_path;
  job.worker_dir = worker_dir;
  job.worker_folder = std::make_shared<const DirFd>(std::move(worker_folder.value()));
  job.worker_index = req.worker_index;
  job.first_frame = req.first_frame;
  job.last_frame = req.last_frame;
  job.mfr_percent = req.mfr_percent;
  if (lease) {
    job.reader_flags = std::make_shared<ReaderFlags>();
    auto start = std::make_shared<MemoryReaderStart>(MemoryReaderStart{std::move(*lease), job.reader_flags,
                                                                       req.worker_index, req.first_frame,
                                                                       req.last_frame, req.frame_step, req.time_scale});
    lease.reset();
    BackgroundWorkerRegistry& registry = req.registry ? *req.registry : BackgroundWorkerRegistry::process();
    const MemoryReaderBody body = req.reader_body;
    const auto flags = job.reader_flags;
    auto started = registry.start(
        "velocinta-memory-" + n,
        [start, body]() mutable {
          if (body) body(*start);
          start.reset();  // the consumer goes when the reader ends, token with it
        },
        [flags, stop = req.reader_stop] {
          (*flags)[0].store(true, std::memory_order_release);
          if (stop) stop->store(true, std::memory_order_release);
        });
    if (!started) {
      // The closure was dropped unrun: the consumer closed the segment and
      // the token is free. The worker has no reader: it must not live on.
      start.reset();
      kill_pool_worker(job.child);
      return std::nullopt;
    }
    start.reset();
  }
  job.launched_ns = mono_ns();
  return job;
}

}  // namespace vel
