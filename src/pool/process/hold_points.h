// Where the pool's own threads may wait on the system (the file system, a
// child that has not exec'd yet, a process listing). The main thread never
// waits at any of them; tests prove it by holding a thread there through a
// hook that is null outside the tests, so in the plug-in each point costs
// one relaxed load.
#pragma once

#include <atomic>
#include <cstdint>

namespace vel {

enum class HoldPoint : uint8_t {
  FolderAndLog,    // a worker's folder and log file are being made
  BeforeSpawn,     // everything is ready, the process not yet started
  AfterSpawn,      // started, its exec not yet known to us
  ProcessListing,  // walking the machine's processes
  FolderScan,      // the output discovery reading a batch's job folder
};

using HoldHook = void (*)(HoldPoint);

namespace detail {
inline std::atomic<HoldHook>& hold_hook() {
  static std::atomic<HoldHook> hook{nullptr};
  return hook;
}
}  // namespace detail

inline void hold_at(HoldPoint point) {
  if (HoldHook hook = detail::hold_hook().load(std::memory_order_relaxed)) hook(point);
}

// Tests only: `hook` is called at each point, on the thread that reaches it.
inline void set_hold_hook_for_tests(HoldHook hook) { detail::hold_hook().store(hook); }

}  // namespace vel
