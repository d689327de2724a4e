// The process-wide registry of long-lived background workers (pack, unpack,
// raster fill, memory-output readers, ...). Each entry is a named thread and
// its stop handle; at most 16 live entries. Registering first reaps entries
// whose thread has ended. The death hook drains it: every stop handle first,
// so that all workers wind down together, then every join.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/result.h"

namespace vel {

inline constexpr size_t kBackgroundWorkerLimit = 16;

// What a registry logs at ERROR: at its limit, when the system refuses a
// thread (prefix + the system's text + suffix), and when a worker ended by
// an unexpected failure.
struct WorkerRegistryTexts {
  const char* limit_reached = "cache: background worker limit reached";
  const char* unavailable_prefix = "cache: background worker unavailable: ";
  const char* unavailable_suffix = "";
  const char* terminated = "cache: background worker terminated unexpectedly";
};

class BackgroundWorkerRegistry {
 public:
  explicit BackgroundWorkerRegistry(size_t limit = kBackgroundWorkerLimit, WorkerRegistryTexts texts = {});
  // Stops and joins what is left (only test registries are ever destroyed).
  ~BackgroundWorkerRegistry();
  BackgroundWorkerRegistry(const BackgroundWorkerRegistry&) = delete;
  BackgroundWorkerRegistry& operator=(const BackgroundWorkerRegistry&) = delete;

  // The registry of the plug-in; never destroyed.
  static BackgroundWorkerRegistry& process();

  // Starts `body` on a thread named `name` and registers it with `stop`,
  // which must make the body return soon (set a flag, close a channel).
  // Logs and answers an error when the limit is reached ("cache: background
  // worker limit reached") or the system refuses the thread ("cache:
  // background worker unavailable: ..."); the caller then has no worker.
  // A refusal repeated call after call is written once and then counted.
  Status<> start(std::string name, std::function<void()> body, std::function<void()> stop);

  // Calls every stop handle, then joins every thread; the registry is empty
  // afterwards and accepts new workers.
  void drain();

  // Live entries after reaping those that ended.
  size_t live_count();

 private:
  struct Entry {
    std::thread thread;
    std::function<void()> stop;
    std::shared_ptr<std::atomic<int>> state;  // 0 running, 1 ended, 2 ended by a failure
  };
  void reap_locked();

  const size_t limit_;
  const WorkerRegistryTexts texts_;
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

// The death hook's drain of the process registry.
void drain_deferred_list();

}  // namespace vel

namespace vel {

// A long-lived cache worker to start at plug-in start-up (the witness-dump
// thread): its thread name, body and stop handle.
struct CacheWorkerEntry {
  std::string name;
  std::function<void()> body;
  std::function<void()> stop;
};

// Starts each worker through `registry` (same limit and messages as any
// registration); answers how many started.
size_t start_cache_workers(std::vector<CacheWorkerEntry> workers,
                           BackgroundWorkerRegistry& registry = BackgroundWorkerRegistry::process());

}  // namespace vel
