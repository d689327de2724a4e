// Named threads. Every thread of the plug-in is "velocinta-" + role. Linux
// limits the OS name to 15 bytes: the OS gets a shortened name, logs and
// registries keep the full one. Naming can fail without the thread failing.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "core/result.h"

namespace vel {

// Starts `body` on a new thread named `full_name`. A failure to start is an
// error value (the system's text), never an exception.
Result<std::thread> spawn_named_thread(std::string full_name, std::function<void()> body);

// The name given to the OS for `full_name` (at most 15 bytes): the
// "velocinta-" prefix becomes "vel-", then the tail is kept.
std::string os_thread_name(const std::string& full_name);

// Full name of the calling thread ("" for threads we did not start).
const std::string& current_thread_name();

}  // namespace vel
