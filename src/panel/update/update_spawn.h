// Children of the update check (curl, the link opener), started with
// posix_spawn: the host is multithreaded, so never fork. Every descriptor
// above 2 is closed in the child, so neither curl nor a browser the opener
// starts keeps the log, a shared-memory segment or a pool pipe open, and a
// capture pipe's write end never leaks into a pool worker spawned meanwhile.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "core/result.h"

namespace vel {

// The first executable regular file `name` in the ":"-separated `search_path`
// (an empty entry is the current folder); null `search_path` means
// "/bin:/usr/bin". None when no folder holds it.
std::optional<std::string> find_program_on_path(const std::string& name, const char* search_path);

// Starts `program` with `args` (after the program name). With `capture_fd`
// >= 0 the child reads /dev/null, writes its output to `capture_fd` and its
// errors to /dev/null; with -1 it inherits the standard streams. The error is
// the system's text ("No such file or directory").
Result<pid_t> spawn_program(const std::string& program, const std::vector<std::string>& args, int capture_fd);

}  // namespace vel
