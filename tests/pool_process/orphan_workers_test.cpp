// The workers a dead host recorded: ended with their engines when they are
// still the processes recorded, left alone when the pid now names another
// process or when the host that recorded them still runs.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pool/process/orphan_workers.h"
#include "pool/process/process_control.h"
#include "pool/process/worker_launch.h"
#include "pool/process/worker_record.h"
#include "pool_process/pool_process_fixture.h"

namespace vel::testing {
namespace {

TEST_F(PoolProcessTest, ARecordedWorkerEndsOnlyWhenItIsTheOneRecordedAndItsHostIsGone) {
  struct Case {
    const char* name;
    bool host_alive;            // the record names this process, still running, as its host
    uint64_t start_shift;       // a recorded start time other than the worker's: its pid was reused
    bool ended;
  };
  const std::vector<Case> cases = {
      {"the worker of a dead host", false, 0, true},
      {"a pid given to another process", false, 1, false},
      {"the worker of a host still running", true, 0, false},
  };
  const auto self = recorded_process(::getpid());
  ASSERT_TRUE(self);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A silent client whose engine outlives it: only the engine kill ends it.
    ::setenv("SIM_AERENDER_ENGINE_LINGER_MS", "60000", 1);
    PoolJob job = launch();
    const pid_t w = job.child.pid();
    ASSERT_GT(w, 0);
    ASSERT_TRUE(eventually([&] { return engines_of(w).size() == 1; }));
    const pid_t engine = engines_of(w)[0];
    const auto now = recorded_process(w);
    ASSERT_TRUE(now);
    ASSERT_EQ(now->pgid, w) << "a worker leads its own group";

    WorkerRecord record;
    record.host = c.host_alive ? *self : RecordedProcess{99999, self->start_ticks, 0};  // no such pid here
    record.workers.push_back({w, now->start_ticks + c.start_shift, w});
    const size_t signalled = end_workers_of_gone_host(record);
    EXPECT_EQ(signalled, c.ended ? 1u : 0u);
    if (c.ended) {
      EXPECT_TRUE(eventually([&] { return !alive(w) && !alive(engine); }));
    } else {
      EXPECT_TRUE(alive(w));
      EXPECT_TRUE(alive(engine));
    }
    kill_pool_worker(job.child);
    EXPECT_TRUE(job.child.reaped());
    EXPECT_TRUE(eventually([&] { return !alive(engine); }));
    reap(engine);
  }
}

// A record may name any process of ours with its right start time (written
// by hand, or by something else than a host): one that did not start as a
// pool worker is never signalled.
TEST_F(PoolProcessTest, ARecordedProcessThatIsNoPoolWorkerIsLeftAlone) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::setpgid(0, 0);
    for (;;) ::pause();
  }
  ASSERT_GT(child, 0);
  ::setpgid(child, child);
  const auto now = recorded_process(child);
  ASSERT_TRUE(now);
  ASSERT_EQ(now->pgid, child);
  WorkerRecord record;
  record.host = {99999, 1, 0};
  record.workers.push_back({child, now->start_ticks, child});
  EXPECT_EQ(end_workers_of_gone_host(record), 0u);
  EXPECT_TRUE(alive(child));
  kill_and_reap(child);
}

// A group outlives its leader while a member lives: the member of a dead
// host's worker goes with it, found by its group; a member of our user
// without the worker's mark stays.
TEST_F(PoolProcessTest, AMemberLeftInTheGroupOfAGoneWorkerEnds) {
  struct Case {
    const char* name;
    std::vector<std::string> env;
    bool ended;
  };
  const std::vector<Case> cases = {
      {"started as a pool worker", {"VELOCINTA_POOL_WORKER=1"}, true},
      {"without the mark", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The leader puts a bounded sleep in the background, in its own group,
    // tells its pid and ends.
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    pid_t leader = -1;
    ASSERT_EQ(spawn_worker_process(leader, "/bin/sh", {"-c", "sleep 30 & echo $!"}, c.env, out[1], -1), 0);
    ::close(out[1]);
    const auto started = recorded_process(leader);
    std::string text;
    char buf[64];
    // Up to the newline: the sleep keeps the pipe open.
    for (ssize_t n; text.find('\n') == std::string::npos && (n = ::read(out[0], buf, sizeof buf)) > 0;)
      text.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    ASSERT_TRUE(wait_exit(leader));
    reap(leader);
    ASSERT_TRUE(started);
    const pid_t member = static_cast<pid_t>(std::stol(text));
    ASSERT_TRUE(alive(member));
    ASSERT_EQ(group_members(leader), std::vector<pid_t>{member});

    WorkerRecord record;
    record.host = {99999, 1, 0};
    record.workers.push_back({leader, started->start_ticks, leader});
    EXPECT_EQ(end_workers_of_gone_host(record), c.ended ? 1u : 0u);
    if (c.ended) {
      EXPECT_TRUE(wait_exit(member));
    } else {
      EXPECT_TRUE(alive(member));
    }
    kill_and_reap(member);
  }
}

}  // namespace
}  // namespace vel::testing
