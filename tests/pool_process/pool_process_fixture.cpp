#include "pool_process/pool_process_fixture.h"

#include <signal.h>
#include <stdlib.h>

#include "core/log.h"
#include "core/repeat_log.h"

namespace vel::testing {

namespace {

const char* const kStandInSwitches[] = {
    "SIM_AERENDER_SILENT",        "SIM_AERENDER_ENGINES",    "SIM_AERENDER_ENGINE_HELPER",
    "SIM_AERENDER_CLIENT_MIB",    "SIM_AERENDER_ENGINE_MIB", "SIM_AERENDER_CLIENT_CPU",
    "SIM_AERENDER_ENGINE_CPU",    "SIM_AERENDER_EXIT_AFTER", "SIM_AERENDER_EXIT_STATUS",
    "SIM_AERENDER_EXIT_SIGNAL",   "SIM_AERENDER_ENGINE_LINGER_MS", "SIM_AERENDER_GROUP_CHILDREN",
};

}  // namespace

void PoolProcessTest::SetUp() {
  if (!in_own_pid_namespace()) {
    skipped_ = true;
    GTEST_SKIP() << "needs a pid namespace of its own (unshare refused): its sweeps would see the machine";
  }
  ASSERT_TRUE(scratch_.ok());
  pool_dir_ = scratch_.path() / "velocinta_pool";
  log_path_ = scratch_.path() / "velocinta.log";
  ASSERT_TRUE(open_log_file_at(log_path_, LogRole::Host));
  forget_repeated_failures();  // a fresh log: a failure an earlier test saw is logged again here
  // The stand-in reads its template store under HOME: the user's own (which
  // may lack a template the test relies on) must not decide a test.
  if (const char* home = ::getenv("HOME")) kept_home_ = home;
  const std::filesystem::path home = scratch_.path() / "home";
  std::filesystem::create_directories(home);
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("SIM_AERENDER_SILENT", "1", 1);
}

void PoolProcessTest::TearDown() {
  if (skipped_) return;
  readers_.drain();
  for (const char* name : kStandInSwitches) ::unsetenv(name);
  if (kept_home_) {
    ::setenv("HOME", kept_home_->c_str(), 1);
  } else {
    ::unsetenv("HOME");
  }
  set_log_duplicator_for_tests(nullptr);
  close_log_file();
  // Helpers and lingering engines end on their own once their parent is
  // gone; give them the time to, then nothing may be left.
  eventually([] { return other_processes().empty(); });
  const std::vector<pid_t> left = other_processes();
  EXPECT_TRUE(left.empty()) << left.size() << " process(es) left in the namespace, first " << left.front();
  for (pid_t pid : left) kill_and_reap(pid);
}

LaunchRequest PoolProcessTest::request(PoolOutputKind kind) {
  LaunchRequest r;
  r.aerender = kAerender;
  r.snapshot_path = (scratch_.path() / "snapshot.aep").string();
  r.comp_name = "Main";
  r.downsample = 1;
  r.mfr_percent = 50;
  auto job_dir = create_job_dir(pool_dir_);
  EXPECT_TRUE(job_dir.ok()) << job_dir.error();
  if (job_dir.ok()) r.job_dir = job_dir.value();
  r.first_frame = 0;
  r.last_frame = 9;
  r.kind = kind;
  r.time_scale = 24;
  r.comp_width = 64;
  r.comp_height = 36;
  r.reader_body = [this](MemoryReaderStart&) { readers_run_.fetch_add(1); };
  r.registry = &readers_;
  return r;
}

PoolJob PoolProcessTest::launch(PoolOutputKind kind) {
  auto job = spawn_pool_worker(request(kind));
  EXPECT_TRUE(job.has_value());
  return job ? std::move(*job) : PoolJob{};
}

std::vector<std::string> PoolProcessTest::error_lines() const {
  std::vector<std::string> lines;
  const std::string text = read_text(log_path_);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    if (line.find("] ERROR: ") != std::string::npos) lines.push_back(line.substr(line.find("] ERROR: ") + 9));
    at = end + 1;
  }
  return lines;
}

std::string PoolProcessTest::engine_program_for_other_users() {
  namespace fs = std::filesystem;
  const fs::path dir = scratch_.path() / "for-other-users";
  std::error_code ec;
  fs::create_directories(dir, ec);
  fs::copy_file(kAerendercore, dir / "aerendercore", fs::copy_options::overwrite_existing, ec);
  // Others may pass through the scratch folder and run the copy, nothing more.
  fs::permissions(scratch_.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec, ec);
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                           fs::perms::others_exec, ec);
  fs::permissions(dir / "aerendercore", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                            fs::perms::others_read | fs::perms::others_exec, ec);
  return (dir / "aerendercore").string();
}

}  // namespace vel::testing
