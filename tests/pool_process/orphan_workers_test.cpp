// The workers a dead host recorded: ended with their engines when they are
// still the processes recorded, left alone when the pid now names another
// process or when the host that recorded them still runs.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pool/orphan_workers.h"
#include "pool/process_control.h"
#include "pool/worker_record.h"
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

}  // namespace
}  // namespace vel::testing
