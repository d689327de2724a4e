#include "pool/batch_threads.h"

#include <condition_variable>
#include <mutex>

namespace vel {

namespace {

struct BatchThreadCount {
  std::mutex mutex;
  std::condition_variable ended;
  uint64_t alive = 0;
};

// Never destroyed: a detached thread may let its mark go during exit.
BatchThreadCount& count() {
  static BatchThreadCount& c = *new BatchThreadCount;
  return c;
}

}  // namespace

BatchThreadMark::BatchThreadMark() {
  std::lock_guard lock(count().mutex);
  ++count().alive;
}

BatchThreadMark::~BatchThreadMark() {
  BatchThreadCount& c = count();
  {
    std::lock_guard lock(c.mutex);
    --c.alive;
  }
  c.ended.notify_all();
}

uint64_t batch_threads_alive() {
  std::lock_guard lock(count().mutex);
  return count().alive;
}

bool wait_for_batch_threads(std::chrono::milliseconds limit) {
  BatchThreadCount& c = count();
  std::unique_lock lock(c.mutex);
  return c.ended.wait_for(lock, limit, [&c] { return c.alive == 0; });
}

}  // namespace vel
