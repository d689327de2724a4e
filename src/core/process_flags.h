// Process-wide flags that the idle and death hooks raise and worker threads
// read without a lock, and the one host call worker threads may make.
#pragma once

#include <atomic>

namespace vel {

// Raised by the idle hook while the host shows a modal window.
std::atomic<bool>& modal_flag();
// Raised by the death hook; never lowered.
std::atomic<bool>& dying_flag();

// Asks the host for an early idle call, unless a modal window is shown, the
// plug-in is dying or the host access layer has not installed the caller.
// Callable from any thread; the host's answer is not looked at.
void request_early_idle();

// Installed by the host access layer once it holds the Utility suite.
using EarlyIdleCaller = void (*)();
void set_early_idle_caller(EarlyIdleCaller caller);

}  // namespace vel
