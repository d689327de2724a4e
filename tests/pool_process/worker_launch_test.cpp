// Launching the stand-in aerender as the pool does, checked from /proc while
// it runs, and every way a launch can fail.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "core/switches.h"
#include "pool/process/proc_facts.h"
#include "pool/process/spawned_registry.h"
#include "pool_process/pool_process_fixture.h"

namespace vel::testing {
namespace {

size_t count_entries(const std::vector<std::string>& env, const std::string& prefix) {
  return static_cast<size_t>(
      std::count_if(env.begin(), env.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; }));
}

mode_t mode_of(const std::filesystem::path& p) {
  struct stat st{};
  return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

struct LaunchCase {
  PoolOutputKind kind;
  uint64_t downsample;
  bool extreme;
};

TEST_F(PoolProcessTest, EachKindStartsAsTheCommandLineSaysInItsOwnGroup) {
  // Entries the worker's must replace, and a descriptor it must not inherit.
  ::setenv("VELOCINTA_POOL_WORKER", "0", 1);
  ::setenv("VELOCINTA_OUTPUT_FORMAT", "tga", 1);
  ::setenv("SIM_AERENDER_ENGINES", "0", 1);
  const std::string marker = scratch_.file("inherited-marker");
  const int leak = ::open(marker.c_str(), O_WRONLY | O_CREAT, 0600);  // no O_CLOEXEC on purpose
  ASSERT_GE(leak, 0);
  const std::vector<LaunchCase> cases = {{PoolOutputKind::Psd, 4, true},
                                         {PoolOutputKind::Tga, 2, false},
                                         {PoolOutputKind::Memory, 1, true},
                                         {PoolOutputKind::MemoryNull, 8, false}};
  for (const LaunchCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    LaunchRequest req = request(c.kind);
    req.downsample = c.downsample;
    req.extreme = c.extreme;
    req.worker_index = 3;
    auto job = spawn_pool_worker(req);
    ASSERT_TRUE(job);
    const pid_t pid = job->child.pid();
    // posix_spawn returns once the exec began; the arguments appear when it ends.
    ASSERT_TRUE(eventually([&] { return !proc_strings(pid, "cmdline").empty(); }));
    const std::filesystem::path job_dir = req.job_dir->path();
    const std::filesystem::path output = worker_output_path(job_dir / "w3", c.kind);
    WorkerCommand expected{req.snapshot_path, "Main", 0, 9, c.kind, 50, output.string(), missing_ok_enabled(),
                           c.downsample, c.extreme};
    std::vector<std::string> argv = {kAerender};
    for (const std::string& a : worker_arguments(expected)) argv.push_back(a);
    EXPECT_EQ(proc_strings(pid, "cmdline"), argv);

    const auto env = proc_strings(pid, "environ");
    EXPECT_EQ(count_entries(env, "VELOCINTA_POOL_WORKER="), 1u);
    EXPECT_EQ(count_entries(env, "VELOCINTA_POOL_WORKER=1"), 1u);
    if (is_memory_kind(c.kind)) {
      EXPECT_EQ(count_entries(env, "VELOCINTA_OUTPUT_FORMAT="), 1u);
      EXPECT_EQ(count_entries(env, "VELOCINTA_OUTPUT_FORMAT=memory"), 1u);
    }

    const auto facts = read_process_facts(pid);
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->stat.pgrp, pid);
    const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd/";
    EXPECT_EQ(read_link(fd_dir + "0"), "/dev/null");
    EXPECT_EQ(read_link(fd_dir + "1"), (job_dir / "w3.log").string());
    EXPECT_EQ(read_link(fd_dir + "2"), (job_dir / "w3.log").string());
    for (const auto& e : std::filesystem::directory_iterator(fd_dir)) {
      EXPECT_NE(read_link(e.path().string()), marker) << "descriptor " << e.path().filename() << " inherited";
    }
    EXPECT_EQ(job_dir.filename().string().rfind("job_" + std::to_string(::getpid()) + "_", 0), 0u);
    EXPECT_EQ(mode_of(pool_dir_), 0700u);
    EXPECT_EQ(mode_of(job_dir), 0700u);
    EXPECT_EQ(mode_of(job_dir / "w3"), 0700u);
    EXPECT_EQ(mode_of(job_dir / "w3.log"), 0600u);
    const auto registered = spawned_registry().snapshot();
    EXPECT_TRUE(std::any_of(registered.begin(), registered.end(), [&](const auto& s) { return s->pid() == pid; }));
    EXPECT_EQ(job->reader_flags != nullptr, is_memory_kind(c.kind));

    kill_pool_worker(job->child);
    EXPECT_TRUE(job->child.reaped());
    EXPECT_TRUE(eventually([&] { return group_members(pid).empty(); }));
    readers_.drain();
    EXPECT_FALSE(memory_output_token_held());
  }
  ::close(leak);
  ::unsetenv("VELOCINTA_POOL_WORKER");
  ::unsetenv("VELOCINTA_OUTPUT_FORMAT");
  EXPECT_EQ(readers_run_.load(), 2) << "one reader per memory worker";
  EXPECT_TRUE(error_lines().empty());
}

struct FailureCase {
  const char* why;
  PoolOutputKind kind;
  std::function<void(LaunchRequest&, const std::filesystem::path& pool)> arrange;
  const char* line;  // nullptr: a silent refusal
};

TEST_F(PoolProcessTest, EveryFailedLaunchLogsOneLineLeavesNothingAndFreesTheToken) {
  const std::vector<FailureCase> cases = {
      {"log file", PoolOutputKind::Tga,
       [](LaunchRequest& r, const auto& pool) { r.job_dir = make_job_dir_guard(pool / "job_missing", nullptr); },
       "pool: log worker: "},
      {"worker folder", PoolOutputKind::Tga,
       [](LaunchRequest& r, const auto&) { std::ofstream(r.job_dir->path() / "w0") << "in the way"; },
       "pool: création "},
      {"unknown dimensions", PoolOutputKind::Memory, [](LaunchRequest& r, const auto&) { r.comp_width.reset(); },
       "pool: memory output requires known composition dimensions"},
      {"downsample beyond 32 bits", PoolOutputKind::Memory,
       [](LaunchRequest& r, const auto&) { r.downsample = uint64_t{1} << 32; }, nullptr},
      {"token held", PoolOutputKind::Memory, [](LaunchRequest&, const auto&) { ASSERT_TRUE(take_memory_output_token()); },
       nullptr},
      {"memory output refused", PoolOutputKind::Memory,
       [](LaunchRequest& r, const auto&) { r.first_frame = 9, r.last_frame = 2; },
       "pool: memory output preparation failed: "},
      {"spawn", PoolOutputKind::Memory, [](LaunchRequest& r, const auto&) { r.aerender = "/nonexistent/aerender"; },
       "pool: spawn aerender: "},
      {"pool folder open to all", PoolOutputKind::Tga,
       [](LaunchRequest&, const auto& pool) { ::chmod(pool.c_str(), 0777); },
       "pool: creation of output directory failed: "},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.why);
    const size_t before = error_lines().size();
    LaunchRequest req = request(c.kind);
    c.arrange(req, pool_dir_);
    EXPECT_FALSE(spawn_pool_worker(req));
    const auto lines = error_lines();
    ASSERT_EQ(lines.size(), before + (c.line ? 1 : 0));
    if (c.line) {
      EXPECT_EQ(lines.back().rfind(c.line, 0), 0u) << lines.back();
    }
    EXPECT_TRUE(other_processes().empty());
    release_memory_output_token();  // the held-token case took it itself
    ::chmod(pool_dir_.c_str(), 0700);
  }
  EXPECT_EQ(readers_run_.load(), 0);
}

TEST_F(PoolProcessTest, TheTokenIsGivenBackByTheLaunchThatTookIt) {
  LaunchRequest req = request(PoolOutputKind::Memory);
  req.aerender = "/nonexistent/aerender";
  EXPECT_FALSE(spawn_pool_worker(req));
  EXPECT_FALSE(memory_output_token_held());
}

int refuse_duplicate(int) {
  errno = EMFILE;
  return -1;
}

TEST_F(PoolProcessTest, AWorkerWhoseLogCannotBeDuplicatedRunsWithStderrDiscarded) {
  set_log_duplicator_for_tests(&refuse_duplicate);
  PoolJob job = launch();
  ASSERT_GT(job.child.pid(), 0);
  EXPECT_EQ(read_link("/proc/" + std::to_string(job.child.pid()) + "/fd/2"), "/dev/null");
  EXPECT_EQ(read_link("/proc/" + std::to_string(job.child.pid()) + "/fd/1"), job.log_path.string());
  const auto lines = error_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("pool: worker stderr log unavailable: ", 0), 0u);
  kill_pool_worker(job.child);
}

TEST_F(PoolProcessTest, AMemoryWorkerWithoutAReaderIsKilledAtOnce) {
  BackgroundWorkerRegistry full(0);
  LaunchRequest req = request(PoolOutputKind::Memory);
  req.registry = &full;
  EXPECT_FALSE(spawn_pool_worker(req));
  const auto last = spawned_registry().snapshot().back();
  EXPECT_TRUE(last->reaped()) << "the worker was killed and reaped";
  EXPECT_FALSE(alive(last->pid()));
  // An engine caught between its spawn and its exec when the worker died
  // bears no marker yet; it ends with its client.
  EXPECT_TRUE(eventually([&] { return engines_of(last->pid()).empty(); }));
  EXPECT_FALSE(memory_output_token_held());
  EXPECT_EQ(readers_run_.load(), 0);
  const auto lines = error_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "cache: background worker limit reached");
}

}  // namespace
}  // namespace vel::testing
