// The host's quit waits for the batch's detached threads by their marks.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "pool/batch/batch_threads.h"

namespace vel {
namespace {

TEST(BatchThreads, TheQuitWaitsUntilTheLastMarkIsLetGo) {
  const uint64_t before = batch_threads_alive();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  SharedBatchThreadMark mark = mark_batch_thread();
  std::thread body([mark, released]() mutable {
    released.wait();
    mark.reset();
  });
  mark.reset();  // the thread holds the only share now
  // Batch threads of other tests in this process may still be ending: only
  // a count of none before says what the wait must answer.
  EXPECT_GE(batch_threads_alive(), 1u);
  if (before == 0) {
    EXPECT_FALSE(wait_for_batch_threads(std::chrono::milliseconds(0)));
  }
  release.set_value();
  if (before == 0) {
    EXPECT_TRUE(wait_for_batch_threads(std::chrono::seconds(30)));
    EXPECT_EQ(batch_threads_alive(), 0u);
  }
  body.join();
}

// What runs after a body returns (its thread-local objects going, the
// thread's own exit) is still the thread: the host's census after the quit
// would find it. The quit joins the thread, so none is left to find.
struct SlowThreadExit {
  ~SlowThreadExit() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }
};

TEST(BatchThreads, AThreadWhoseBodyEndedIsGoneOnceTheQuitReturns) {
  std::atomic<long> tid{0};
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  ASSERT_TRUE(start_batch_thread("velocinta-exit-test", [&tid, released] {
    thread_local SlowThreadExit slow;
    (void)&slow;
    tid.store(static_cast<long>(::syscall(SYS_gettid)));
    tid.notify_all();
    released.wait();
  }));
  tid.wait(0);
  const std::filesystem::path task = "/proc/self/task/" + std::to_string(tid.load());
  EXPECT_TRUE(std::filesystem::exists(task));
  release.set_value();
  ASSERT_TRUE(wait_for_batch_threads(std::chrono::seconds(30)));
  EXPECT_FALSE(std::filesystem::exists(task));
}

}  // namespace
}  // namespace vel
