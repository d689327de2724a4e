#include "pool/process/launch_thread.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "cache/worker_registry.h"

namespace vel {

namespace {

// Its mutex guards the queue and flags only, never a task: posting waits for
// nothing but another post or take.
struct LaunchThread {
  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable idle;  // a task ended
  bool busy = false;             // a task runs
  std::deque<std::function<void()>> tasks;
  bool running = false;
  bool stop = false;
};

// Never destroyed: the thread may outlive static destruction in a process
// that exits without the death hook.
LaunchThread& launch_thread() {
  static LaunchThread& t = *new LaunchThread;
  return t;
}

// What was posted before the stop still runs: a start that the batch's end
// abandoned meanwhile only lets its worker go.
void launch_loop(LaunchThread& t) {
  std::unique_lock lock(t.mutex);
  for (;;) {
    t.wake.wait(lock, [&] { return t.stop || !t.tasks.empty(); });
    if (t.tasks.empty()) {
      t.running = false;
      t.idle.notify_all();
      return;
    }
    std::function<void()> task = std::move(t.tasks.front());
    t.tasks.pop_front();
    t.busy = true;
    lock.unlock();
    try {
      task();
    } catch (...) {
      // Out of memory in a start: that start is lost, the thread lives on.
    }
    task = nullptr;
    lock.lock();
    t.busy = false;
    t.idle.notify_all();
  }
}

}  // namespace

void run_on_launch_thread(std::function<void()> task) {
  LaunchThread& t = launch_thread();
  std::unique_lock lock(t.mutex);
  t.tasks.push_back(std::move(task));
  if (t.running) {
    t.wake.notify_one();
    return;
  }
  t.running = true;
  t.stop = false;
  lock.unlock();
  const Status<> started = BackgroundWorkerRegistry::process().start(
      "velocinta-pool-launch", [&t] { launch_loop(t); },
      [&t] {
        std::lock_guard guard(t.mutex);
        t.stop = true;
        t.wake.notify_all();
      });
  if (started) return;
  // No thread (the registry said why): what waits runs here.
  lock.lock();
  t.running = false;
  std::deque<std::function<void()>> left = std::exchange(t.tasks, {});
  lock.unlock();
  for (auto& f : left) f();
}

bool wait_for_launch_thread(std::chrono::milliseconds limit) {
  LaunchThread& t = launch_thread();
  std::unique_lock lock(t.mutex);
  return t.idle.wait_for(lock, limit, [&] { return t.tasks.empty() && !t.busy; });
}

void run_off_main(const OffMainRunner& runner, std::function<void()> task) {
  if (runner) {
    runner(std::move(task));
  } else {
    task();
  }
}

}  // namespace vel
