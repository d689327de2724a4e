// The background update check: the thread "velocinta-update" asks the update
// service once right after start-up and then once a day, and puts what it
// finds in the notice slot. Every failure is silent and leaves the slot as
// it was; only this thread ever waits for the network.
#pragma once

#include <optional>
#include <string>

#include "panel/update/update_notice.h"

namespace vel {

// One check against `endpoint`, with curl found in `search_path` (PATH's
// value; null for the system's default). Stores and returns the notice it
// found; none when it found nothing or failed.
std::optional<UpdateNotice> run_update_check(const std::string& endpoint, const char* search_path);

// Starts the detached thread "velocinta-update": a check now, then one every
// 86400 s after the previous ended. The thread is never joined and has no
// stop signal; it runs until the process ends. When it cannot start, nothing
// is logged and no check runs in this process.
void start_update_check();

}  // namespace vel
