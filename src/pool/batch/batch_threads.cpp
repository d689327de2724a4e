#include "pool/batch/batch_threads.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/threads.h"

namespace vel {

namespace {

struct StartedThread {
  uint64_t id = 0;
  std::thread thread;
};

struct BatchThreadCount {
  std::mutex mutex;
  std::condition_variable ended;
  uint64_t alive = 0;
  uint64_t next_id = 1;
  std::unordered_set<uint64_t> running;  // tracked marks not yet let go
  std::vector<StartedThread> started;    // not yet joined
};

// Never destroyed: a thread may let its mark go during exit, and a thread
// still running past the quit's bound stays unjoined here.
BatchThreadCount& count() {
  static BatchThreadCount& c = *new BatchThreadCount;
  return c;
}

// Joins the started threads whose bodies are gone: what is left of each is
// its exit, so the join is short.
void join_ended_threads() {
  BatchThreadCount& c = count();
  std::vector<std::thread> ended;
  {
    std::lock_guard lock(c.mutex);
    const std::thread::id self = std::this_thread::get_id();
    for (auto it = c.started.begin(); it != c.started.end();) {
      if (!c.running.count(it->id) && it->thread.get_id() != self) {
        ended.push_back(std::move(it->thread));
        it = c.started.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (std::thread& t : ended) t.join();
}

// At exit (or when the library is unloaded) the threads nobody joined are
// let go: a process that ends without a quit (a test, a host that skips the
// death hook) would otherwise end with ended threads never reclaimed.
void let_go_of_started_threads() {
  BatchThreadCount& c = count();
  std::lock_guard lock(c.mutex);
  for (StartedThread& t : c.started) t.thread.detach();
  c.started.clear();
}

}  // namespace

BatchThreadMark::BatchThreadMark(bool tracked) {
  BatchThreadCount& c = count();
  std::lock_guard lock(c.mutex);
  ++c.alive;
  if (tracked) {
    id_ = c.next_id++;
    c.running.insert(id_);
  }
}

BatchThreadMark::~BatchThreadMark() {
  BatchThreadCount& c = count();
  {
    std::lock_guard lock(c.mutex);
    --c.alive;
    if (id_ != 0) c.running.erase(id_);
  }
  c.ended.notify_all();
}

Status<> start_batch_thread(std::string full_name, std::function<void()> body) {
  static const bool registered = std::atexit(let_go_of_started_threads) == 0;
  (void)registered;
  join_ended_threads();
  auto mark = std::make_shared<BatchThreadMark>(true);
  const uint64_t id = mark->id_;
  Result<std::thread> thread =
      spawn_named_thread(std::move(full_name), [body = std::move(body), mark = std::move(mark)]() mutable {
        body();
        body = nullptr;
        mark.reset();
      });
  if (!thread) return err(thread.error());
  BatchThreadCount& c = count();
  std::lock_guard lock(c.mutex);
  c.started.push_back({id, std::move(*thread)});
  return ok_unit();
}

uint64_t batch_threads_alive() {
  std::lock_guard lock(count().mutex);
  return count().alive;
}

bool wait_for_batch_threads(std::chrono::milliseconds limit) {
  BatchThreadCount& c = count();
  bool none = false;
  {
    std::unique_lock lock(c.mutex);
    none = c.ended.wait_for(lock, limit, [&c] { return c.alive == 0; });
  }
  join_ended_threads();
  return none;
}

}  // namespace vel
