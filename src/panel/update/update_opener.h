// Opening the download link with the system's opener (platform/opener.h).
// The opener's pid is kept and reaped by that pid on later idle ticks and at
// the death hook: a click must not leave a zombie for the host's lifetime,
// and no wait here may ever take the status of another child of the host.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "core/result.h"

namespace vel {

// Starts the opener with `link` as its only argument, inheriting the
// standard streams; the pid is kept for reaping. Error: the system's text.
Result<pid_t> start_opener(const std::string& link);

// Opens the current notice's link, or the default download link when there
// is no notice. Logs "update: ouverture du lien impossible : " + the
// system's text when the opener cannot start. Main thread.
void open_update_link();

// Reaps, without blocking, every kept opener that has ended; returns how
// many are still running.
size_t reap_update_openers();

}  // namespace vel
