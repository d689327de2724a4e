// The render engine a running aerender keeps beside it, "aerendercore": a
// child process in a process group of its own whose command line ends with
// "-aerenderpid" and the client's pid, as the host's engines do, so that the
// pool's kills and sweeps find it by that mark. Its standard input is a pipe
// whose writing end only the client holds: when the client is gone, however
// it went, the engine reads the end of the pipe and exits. Its lifetime is
// therefore bounded by its client's, plus a linger the tests may ask for.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "simhost/result.h"

namespace sim {

struct RenderEngine {
  pid_t pid = -1;
  int lifeline = -1;  // the client's writing end; closing it ends the engine
};

// Starts `engine_path` with "-noui -aerenderpid <client pid>".
Result<RenderEngine> start_render_engine(const std::string& engine_path, pid_t client_pid);

// Starts `program` with `args` (after argv[0]) in a process group of its
// own, its standard input the reading end of a new pipe.
Result<RenderEngine> start_piped_child(const std::string& program, std::vector<std::string> args);

// Blocks until the writing end of `fd` is closed everywhere.
void wait_for_end_of_pipe(int fd);

// aerendercore's main: an engine ("-noui -aerenderpid <pid>") takes its
// memory and CPU, starts its helper when asked, waits for its client to go,
// lingers as asked and ends; a helper ("-helper") lives as long as its engine.
int run_render_engine_process(const std::vector<std::string>& args);

// The engine binary beside the running program.
std::string engine_path_beside_self();

}  // namespace sim
