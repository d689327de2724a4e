// The host's quit waits for the batch's detached threads by their marks.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "pool/batch_threads.h"

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

}  // namespace
}  // namespace vel
