#include "cache/worker_registry.h"

#include <string_view>

#include "core/log.h"
#include "core/repeat_log.h"
#include "core/threads.h"

namespace vel {

namespace {
constexpr int kRunning = 0;
constexpr int kEnded = 1;
constexpr int kFailed = 2;
}  // namespace

BackgroundWorkerRegistry::BackgroundWorkerRegistry(size_t limit, WorkerRegistryTexts texts)
    : limit_(limit), texts_(texts) {}

BackgroundWorkerRegistry::~BackgroundWorkerRegistry() { drain(); }

BackgroundWorkerRegistry& BackgroundWorkerRegistry::process() {
  static BackgroundWorkerRegistry& registry = *new BackgroundWorkerRegistry();
  return registry;
}

void BackgroundWorkerRegistry::reap_locked() {
  for (size_t i = 0; i < entries_.size();) {
    Entry& e = entries_[i];
    const int state = e.state->load(std::memory_order_acquire);
    if (state == kRunning) {
      ++i;
      continue;
    }
    if (state == kFailed) log_line("ERROR", texts_.terminated);
    // The body has returned: the join only waits for the thread's exit.
    if (e.thread.joinable()) e.thread.join();
    if (i + 1 != entries_.size()) entries_[i] = std::move(entries_.back());
    entries_.pop_back();
  }
}

Status<> BackgroundWorkerRegistry::start(std::string name, std::function<void()> body, std::function<void()> stop) {
  std::lock_guard lock(mutex_);
  reap_locked();
  if (entries_.size() >= limit_) {
    log_repeatable(texts_.limit_reached, "ERROR", texts_.limit_reached);
    return err(texts_.limit_reached);
  }
  auto state = std::make_shared<std::atomic<int>>(kRunning);
  Result<std::thread> thread = spawn_named_thread(std::move(name), [body = std::move(body), state] {
    int end = kEnded;
    try {
      body();
    } catch (...) {
      // No failure leaves a worker thread; the registry reports it.
      end = kFailed;
    }
    state->store(end, std::memory_order_release);
  });
  if (!thread.ok()) {
    const std::string text = texts_.unavailable_prefix + thread.error() + texts_.unavailable_suffix;
    log_repeatable(texts_.limit_reached, "ERROR", text);
    return err(text);
  }
  entries_.push_back(Entry{std::move(thread).value(), std::move(stop), std::move(state)});
  // Callers ask again on every idle call while the registry is full: both
  // refusals are one condition per registry, ended by a start that succeeds.
  log_repeat_ended(texts_.limit_reached);
  return ok_unit();
}

void BackgroundWorkerRegistry::drain() {
  std::vector<Entry> taken;
  {
    std::lock_guard lock(mutex_);
    taken.swap(entries_);
  }
  // Joined outside the lock: a worker that registers another on its way out
  // must not deadlock the drain.
  for (Entry& e : taken) {
    if (e.stop) e.stop();
  }
  for (Entry& e : taken) {
    if (e.thread.joinable()) e.thread.join();
  }
}

size_t BackgroundWorkerRegistry::live_count() {
  std::lock_guard lock(mutex_);
  reap_locked();
  return entries_.size();
}

void drain_deferred_list() { BackgroundWorkerRegistry::process().drain(); }

}  // namespace vel

namespace vel {

size_t start_cache_workers(std::vector<CacheWorkerEntry> workers, BackgroundWorkerRegistry& registry) {
  size_t started = 0;
  for (CacheWorkerEntry& w : workers) {
    if (!w.body) continue;
    if (registry.start(std::move(w.name), std::move(w.body), std::move(w.stop)).ok()) ++started;
  }
  return started;
}

}  // namespace vel
