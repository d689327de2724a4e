// The render engine a running aerender keeps beside it, "aerendercore": a
// child process in a process group of its own whose command line ends with
// "-aerenderpid" and the client's pid, as the host's engines do, so that the
// pool's kills and sweeps find it by that mark. Its standard input is a pipe
// whose writing end only the client holds: when the client is gone, however
// it went, the engine reads the end of the pipe and exits. Its lifetime is
// therefore bounded by its client's.
#pragma once

#include <sys/types.h>

#include <string>

#include "result.h"

namespace sim {

struct RenderEngine {
  pid_t pid = -1;
  int lifeline = -1;  // the client's writing end; closing it ends the engine
};

// Starts `engine_path` with "-noui -aerenderpid <client pid>".
Result<RenderEngine> start_render_engine(const std::string& engine_path, pid_t client_pid);

// The engine's body: waits until the client's end of `fd` closes.
int run_render_engine(int fd);

// The engine binary beside the running program.
std::string engine_path_beside_self();

}  // namespace sim
