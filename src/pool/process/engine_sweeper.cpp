#include "pool/process/engine_sweeper.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "cache/worker_registry.h"
#include "pool/process/process_control.h"

namespace vel {

namespace {

struct Sweeper {
  std::mutex mutex;
  std::condition_variable wake;  // work or the stop
  std::condition_variable idle;  // a walk ended
  std::vector<EngineClient> pending;
  bool running = false;   // a thread takes `pending`
  int walking = 0;  // walks under way: a stopped thread may finish one beside its successor
  bool stop = false;
};

// Never destroyed: its thread may outlive static destruction in a process
// that exits without the death hook.
Sweeper& sweeper() {
  static Sweeper* s = new Sweeper;
  return *s;
}

// Takes what is handed until stopped; what was handed before the stop is
// still swept.
void sweep_loop(Sweeper& s) {
  std::unique_lock lock(s.mutex);
  for (;;) {
    s.wake.wait(lock, [&] { return s.stop || !s.pending.empty(); });
    std::vector<EngineClient> clients = std::exchange(s.pending, {});
    const bool stopping = s.stop;
    if (stopping) s.running = false;
    if (!clients.empty()) {
      ++s.walking;
      lock.unlock();
      try {
        kill_engines_of_clients(clients);
      } catch (...) {
        // Out of memory mid-walk: the thread must live on for the next
        // clients; these ones the quit's sweep of every client still reaches.
      }
      lock.lock();
      --s.walking;
    }
    s.idle.notify_all();
    if (stopping) return;
  }
}

}  // namespace

void sweep_engines_later(std::vector<EngineClient> clients) {
  const auto unknown_end = [](const EngineClient& c) { return !c.ended_boot_ns; };
  std::vector<EngineClient> now;
  for (const EngineClient& c : clients)
    if (unknown_end(c)) now.push_back(c);
  std::erase_if(clients, unknown_end);
  if (!now.empty()) kill_engines_of_clients(now);
  if (clients.empty()) return;

  Sweeper& s = sweeper();
  std::unique_lock lock(s.mutex);
  s.pending.insert(s.pending.end(), clients.begin(), clients.end());
  if (s.running) {
    s.wake.notify_one();
    return;
  }
  s.running = true;
  s.stop = false;
  lock.unlock();
  const Status<> started = BackgroundWorkerRegistry::process().start(
      "velocinta-engine-sweep", [&s] { sweep_loop(s); },
      [&s] {
        std::lock_guard guard(s.mutex);
        s.stop = true;
        s.wake.notify_all();
      });
  if (started) return;
  // No thread: what was handed is swept on this one (the registry said why).
  lock.lock();
  s.running = false;
  std::vector<EngineClient> left = std::exchange(s.pending, {});
  lock.unlock();
  if (!left.empty()) kill_engines_of_clients(left);
}

bool wait_for_engine_sweeps(std::chrono::milliseconds limit) {
  Sweeper& s = sweeper();
  std::unique_lock lock(s.mutex);
  return s.idle.wait_for(lock, limit, [&] { return s.pending.empty() && s.walking == 0; });
}

}  // namespace vel
