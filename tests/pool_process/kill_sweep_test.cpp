// Killing workers and sweeping engines: what was ours goes, and the decoys
// that merely look like ours survive every kill and sweep.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>

#include "pool/process/proc_facts.h"
#include "pool/process/process_control.h"
#include "pool/process/spawned_registry.h"
#include "pool_process/pool_process_fixture.h"
#include "support/child_process.h"
#include "vel_build_paths.h"

namespace vel::testing {
namespace {

// A process that is no engine although its single last argument ends with
// the marker; it lives until its lifeline closes.
struct Decoy {
  pid_t pid = -1;
  int lifeline = -1;
  void end() {
    if (lifeline >= 0) ::close(lifeline);
    lifeline = -1;
    if (pid > 0) {
      wait_exit(pid);
      reap(pid);
    }
    pid = -1;
  }
};

Decoy marker_in_one_argument(pid_t client) {
  Decoy d;
  d.pid = spawn_process(kAerendercore, {"aerendercore", "-helper", "x aerendercore -aerenderpid " + std::to_string(client)},
                        &d.lifeline);
  return d;
}

// A real-looking engine of `client` owned by another user (root only).
Decoy other_users_engine(PoolProcessTest& t, pid_t client) {
  Decoy d;
  d.pid = spawn_process(t.engine_program_for_other_users(), {"aerendercore", "-noui", "-aerenderpid", std::to_string(client)},
                        &d.lifeline, uid_t{65534});
  return d;
}

// A worker that ends at once, leaving its engine to linger as an orphan.
PoolJob worker_leaving_an_orphan(PoolProcessTest& t, std::function<PoolJob()> launch) {
  ::setenv("SIM_AERENDER_EXIT_AFTER", "0", 1);
  ::setenv("SIM_AERENDER_ENGINE_LINGER_MS", "60000", 1);
  PoolJob job = launch();
  ::unsetenv("SIM_AERENDER_EXIT_AFTER");
  ::unsetenv("SIM_AERENDER_ENGINE_LINGER_MS");
  (void)t;
  return job;
}

// The live stand-in started by someone else, as pid `pid` when given.
pid_t foreign_client(std::optional<pid_t> pid = std::nullopt) {
  const std::vector<std::string> args = {"aerender", "-project", "p",   "-comp",   "c",
                                         "-s",       "0",        "-e",  "0",       "-OMtemplate",
                                         "t",        "-mfr",     "ON",  "50",      "-output",
                                         "/nonexistent/f_[#####].tga"};
  return pid ? spawn_process_at(*pid, kAerender, args) : spawn_process(kAerender, args);
}

TEST_F(PoolProcessTest, KillingAWorkerTakesItsGroupAndEnginesButNoDecoy) {
  ::setenv("SIM_AERENDER_ENGINES", "2", 1);
  ::setenv("SIM_AERENDER_ENGINE_HELPER", "1", 1);
  PoolJob job = launch();
  const pid_t w = job.child.pid();
  ASSERT_TRUE(eventually([&] { return engines_of(w).size() == 2; }));
  Decoy single = marker_in_one_argument(w);
  Decoy foreign = can_switch_user() ? other_users_engine(*this, w) : Decoy{};
  ASSERT_TRUE(alive(single.pid));
  if (foreign.pid > 0) ASSERT_TRUE(eventually([&] { return alive(foreign.pid); }));
  else std::cout << "[  NOTE    ] the other user's engine needs real root; not checked here\n";

  kill_pool_worker(job.child);
  EXPECT_TRUE(job.child.reaped());
  // Every member got SIGKILL with the group; one caught in the middle of a
  // spawn may take a moment more to end.
  EXPECT_TRUE(eventually([&] { return group_members(w).empty(); }));
  EXPECT_TRUE(eventually([&] { return engines_of(w).size() == (foreign.pid > 0 ? 1u : 0u); }));
  EXPECT_TRUE(alive(single.pid));
  if (foreign.pid > 0) {
    EXPECT_TRUE(alive(foreign.pid));
  }
  single.end();
  foreign.end();
  // The engines' helpers end with their engines.
  EXPECT_TRUE(eventually([&] { return other_processes().empty(); }));
}

TEST_F(PoolProcessTest, AReapedClientsEnginesGoButNotThoseOfALiveClientThatReusedItsPid) {
  std::vector<PoolJob> jobs;
  jobs.push_back(worker_leaving_an_orphan(*this, [&] { return launch(); }));
  const pid_t p = jobs[0].child.pid();
  ASSERT_TRUE(wait_exit(p));
  std::vector<EndedClient> ended;
  std::vector<size_t> exited;
  EXPECT_EQ(reap_exited_workers(jobs, ended, exited), 0u);
  ASSERT_EQ(ended.size(), 1u);
  const std::vector<pid_t> orphans = engines_of(p);
  ASSERT_EQ(orphans.size(), 1u);

  const pid_t reuser = foreign_client(p);
  ASSERT_EQ(reuser, p) << "ns_last_pid did not give the pid back";
  ASSERT_TRUE(eventually([&] { return engines_of(p).size() == 2; }));
  pid_t reusers_engine = -1;
  for (pid_t e : engines_of(p)) {
    if (e != orphans[0]) reusers_engine = e;
  }
  Decoy single = marker_in_one_argument(p);

  const EngineClient client{p, ended[0].ended_boot_ns};
  kill_engines_of_clients({&client, 1});
  EXPECT_TRUE(wait_exit(orphans[0]));
  reap(orphans[0]);
  EXPECT_TRUE(alive(reusers_engine));
  EXPECT_TRUE(alive(reuser));
  EXPECT_TRUE(alive(single.pid));

  single.end();
  kill_and_reap(reuser);
  EXPECT_TRUE(wait_exit(reusers_engine));
  reap(reusers_engine);
}

TEST_F(PoolProcessTest, ExitStatusesAreReportedAndACleanExitIsSilent) {
  struct Case {
    const char* status;
    const char* signal;
    bool clean;
    const char* wording;
  };
  const std::vector<Case> cases = {{"0", nullptr, true, nullptr},
                                   {"3", nullptr, false, "(exit status: 3)"},
                                   {nullptr, "9", false, "(signal: 9 (SIGKILL))"}};
  ::setenv("SIM_AERENDER_EXIT_AFTER", "0", 1);
  ::setenv("SIM_AERENDER_ENGINES", "0", 1);
  for (const Case& c : cases) {
    if (c.status) ::setenv("SIM_AERENDER_EXIT_STATUS", c.status, 1);
    if (c.signal) ::setenv("SIM_AERENDER_EXIT_SIGNAL", c.signal, 1);
    std::vector<PoolJob> jobs;
    jobs.push_back(launch());
    jobs[0].worker_index = 4;
    jobs[0].reader_flags = std::make_shared<ReaderFlags>();
    ASSERT_TRUE(wait_exit(jobs[0].child.pid()));
    const size_t before = error_lines().size();
    std::vector<EndedClient> ended;
    std::vector<size_t> exited;
    EXPECT_EQ(reap_exited_workers(jobs, ended, exited), 0u);
    EXPECT_TRUE(jobs[0].finished);
    EXPECT_EQ(jobs[0].clean_exit, c.clean);
    EXPECT_TRUE((*jobs[0].reader_flags)[0].load());
    EXPECT_EQ(exited, std::vector<size_t>{0});
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].pid, jobs[0].child.pid());
    const auto lines = error_lines();
    if (c.clean) {
      EXPECT_EQ(lines.size(), before);
    } else {
      ASSERT_EQ(lines.size(), before + 1);
      EXPECT_EQ(lines.back(), "pool: worker 4 sorti en erreur " + std::string(c.wording) +
                                  " — log : " + jobs[0].log_path.string());
    }
    EXPECT_EQ(reap_exited_workers(jobs, ended, exited), 0u) << "a finished job is not polled again";
    ::unsetenv("SIM_AERENDER_EXIT_STATUS");
    ::unsetenv("SIM_AERENDER_EXIT_SIGNAL");
  }
}

// A worker that started children in its own group and ended, however it
// ended, takes them with it when its end is seen: its group is killed
// while its pid still names it, then it is reaped.
TEST_F(PoolProcessTest, AWorkerThatEndsTakesTheChildrenOfItsGroup) {
  const struct {
    const char* name;
    const char* status;
    const char* signal;
  } cases[] = {{"exit 0", "0", nullptr}, {"exit 3", "3", nullptr}, {"killed", nullptr, "9"}};
  ::setenv("SIM_AERENDER_EXIT_AFTER", "0", 1);
  ::setenv("SIM_AERENDER_ENGINES", "0", 1);
  ::setenv("SIM_AERENDER_GROUP_CHILDREN", "3", 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.status) ::setenv("SIM_AERENDER_EXIT_STATUS", c.status, 1);
    if (c.signal) ::setenv("SIM_AERENDER_EXIT_SIGNAL", c.signal, 1);
    std::vector<PoolJob> jobs;
    jobs.push_back(launch());
    const pid_t w = jobs[0].child.pid();
    ASSERT_TRUE(wait_exit(w));
    const std::vector<pid_t> children = group_members(w);
    ASSERT_EQ(children.size(), 3u) << "the worker's children outlive it until its end is seen";
    std::vector<EndedClient> ended;
    std::vector<size_t> exited;
    EXPECT_EQ(reap_exited_workers(jobs, ended, exited), 0u);
    EXPECT_TRUE(jobs[0].child.reaped());
    EXPECT_EQ(jobs[0].clean_exit, c.status && std::string(c.status) == "0");
    ASSERT_TRUE(eventually([&] { return group_members(w).empty(); }));
    for (pid_t child : children) reap(child);  // ours: we are the namespace's pid 1
    ::unsetenv("SIM_AERENDER_EXIT_STATUS");
    ::unsetenv("SIM_AERENDER_EXIT_SIGNAL");
  }
}

// The host reaped the worker: a normal end, neither an error line nor a
// job folder kept for a log that names nothing wrong.
TEST_F(PoolProcessTest, AWorkerReapedBySomeoneElseEndsQuietlyAndNoSignal) {
  // A host that ignores SIGCHLD: the system reaps every child for it.
  struct sigaction ignore{}, previous{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGCHLD, &ignore, &previous);
  ::setenv("SIM_AERENDER_EXIT_AFTER", "0", 1);
  ::setenv("SIM_AERENDER_ENGINES", "0", 1);
  std::vector<PoolJob> jobs;
  jobs.push_back(launch());
  const pid_t p = jobs[0].child.pid();
  ASSERT_TRUE(wait_exit(p));
  ASSERT_TRUE(eventually([&] { return !std::filesystem::exists("/proc/" + std::to_string(p)); }))
      << "reaped by the system";
  ::sigaction(SIGCHLD, &previous, nullptr);
  // The freed pid now leads someone else's process group.
  ::unsetenv("SIM_AERENDER_EXIT_AFTER");
  Decoy leader;
  leader.pid = spawn_process_at(p, kAerendercore, {"aerendercore", "-helper"}, &leader.lifeline);
  ASSERT_EQ(leader.pid, p);

  std::vector<EndedClient> ended;
  std::vector<size_t> exited;
  EXPECT_EQ(reap_exited_workers(jobs, ended, exited), 0u);
  EXPECT_TRUE(jobs[0].finished);
  EXPECT_TRUE(jobs[0].clean_exit);
  EXPECT_EQ(exited, std::vector<size_t>{0});
  EXPECT_TRUE(error_lines().empty()) << error_lines().front();
  EXPECT_TRUE(alive(leader.pid));
  kill_pool_worker(jobs[0].child);
  EXPECT_TRUE(alive(leader.pid)) << "nothing is ever signalled through a pid no longer ours";
  leader.end();
}

TEST_F(PoolProcessTest, TheQuitSweepSkipsAReapedLeadersReusedPid) {
  PoolJob running = launch();
  ASSERT_TRUE(eventually([&] { return engines_of(running.child.pid()).size() == 1; }));
  const pid_t engine = engines_of(running.child.pid())[0];
  ::setenv("SIM_AERENDER_EXIT_AFTER", "0", 1);
  ::setenv("SIM_AERENDER_ENGINES", "0", 1);
  PoolJob done = launch();
  ::unsetenv("SIM_AERENDER_EXIT_AFTER");
  ASSERT_TRUE(wait_exit(done.child.pid()));
  ASSERT_EQ(poll_child(done.child).state, ChildState::Exited);

  Decoy leader;
  leader.pid = spawn_process_at(done.child.pid(), kAerendercore, {"aerendercore", "-helper"}, &leader.lifeline);
  ASSERT_EQ(leader.pid, done.child.pid());
  sweep_session_on_exit();
  EXPECT_FALSE(alive(running.child.pid()));
  EXPECT_TRUE(eventually([&] { return group_members(running.child.pid()).empty(); }));
  EXPECT_TRUE(wait_exit(engine));
  reap(engine);
  EXPECT_TRUE(alive(leader.pid));
  leader.end();
}

TEST_F(PoolProcessTest, TheLoadSweepKillsOrphansOnlyWhenNoAerenderRuns) {
  std::vector<PoolJob> jobs;
  jobs.push_back(worker_leaving_an_orphan(*this, [&] { return launch(); }));
  const pid_t p = jobs[0].child.pid();
  ASSERT_TRUE(wait_exit(p));
  ASSERT_EQ(poll_child(jobs[0].child).state, ChildState::Exited);
  const std::vector<pid_t> orphan = engines_of(p);
  ASSERT_EQ(orphan.size(), 1u);
  // An engine whose client is alive and its parent: ours is pid 1 here.
  Decoy parented;
  parented.pid = spawn_process(kAerendercore, {"aerendercore", "-noui", "-aerenderpid", std::to_string(::getpid())},
                               &parented.lifeline);
  Decoy single = marker_in_one_argument(p);
  Decoy foreign = can_switch_user() ? other_users_engine(*this, p) : Decoy{};

  const pid_t someone = foreign_client();
  ASSERT_TRUE(eventually([&] { return engines_of(someone).size() == 1; }));
  EXPECT_TRUE(any_aerender_running());
  EXPECT_EQ(sweep_orphan_engines(), 0u);
  EXPECT_TRUE(alive(orphan[0])) << "a running aerender may own it";
  const pid_t someones_engine = engines_of(someone)[0];
  kill_and_reap(someone);
  EXPECT_TRUE(wait_exit(someones_engine));
  reap(someones_engine);
  EXPECT_FALSE(any_aerender_running());

  sweep_orphan_engines();
  EXPECT_TRUE(wait_exit(orphan[0]));
  reap(orphan[0]);
  EXPECT_TRUE(alive(parented.pid));
  EXPECT_TRUE(alive(single.pid));
  if (foreign.pid > 0) {
    EXPECT_TRUE(alive(foreign.pid));
  }
  parented.end();
  single.end();
  foreign.end();
}

TEST_F(PoolProcessTest, ACrashedHostsOrphanIsKilledByTheNextLoadAndNothingElse) {
  ::setenv("SIM_AERENDER_ENGINE_LINGER_MS", "60000", 1);
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const LaunchRequest req = request();
  const pid_t host = ::fork();
  if (host == 0) {
    // The earlier host: launches its worker and waits to be killed.
    auto job = spawn_pool_worker(req);
    const pid_t w = job ? job->child.pid() : -1;
    [[maybe_unused]] const ssize_t n = ::write(report[1], &w, sizeof w);
    for (;;) ::pause();
  }
  ::close(report[1]);
  pid_t worker = -1;
  ASSERT_EQ(::read(report[0], &worker, sizeof worker), static_cast<ssize_t>(sizeof worker));
  ::close(report[0]);
  ASSERT_GT(worker, 1);
  ASSERT_TRUE(eventually([&] { return engines_of(worker).size() == 1; }));
  const pid_t engine = engines_of(worker)[0];
  kill_and_reap(host);
  kill_and_reap(worker);  // the worker ends; its engine lingers, an orphan
  ASSERT_TRUE(alive(engine));
  ::unsetenv("SIM_AERENDER_ENGINE_LINGER_MS");
  Decoy single = marker_in_one_argument(worker);

  const std::filesystem::path home = scratch_.path() / "home";
  std::filesystem::create_directories(home);
  std::filesystem::create_directories(scratch_.path() / "out");
  const ChildResult r = run_child(VEL_SIMHOST_PATH,
                                  {"--plugin", VEL_PLUGIN_PATH, "--project", std::string(VEL_DEMO_DIR) + "/sample.aep",
                                   "--seconds", "0", "--out", (scratch_.path() / "out").string()},
                                  {"HOME=" + home.string(), "TMPDIR=" + scratch_.path().string()},
                                  scratch_.path().string(), 60);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(wait_exit(engine));
  reap(engine);
  EXPECT_TRUE(alive(single.pid));
  single.end();
}

}  // namespace
}  // namespace vel::testing
