// Runs a body in a forked child whose processor affinity is cut down to a
// few of the processors the test may use, as `taskset -c` would, without
// touching the test process's own mask.
#pragma once

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <vector>

namespace vel::testing {

// The processors in the test process's affinity mask.
inline std::vector<int> allowed_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> out;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return out;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &set)) out.push_back(cpu);
  }
  return out;
}

// Forks; the child keeps only the first `count` allowed processors and
// exits with the body's answer (0 for success). Answers the child's exit
// code, 100 when the mask could not be set, -1 when it did not exit
// normally. The body must not throw; the child leaves through _exit so that
// nothing of the test process is torn down twice.
inline int run_with_processors(size_t count, const std::function<int()>& body) {
  const std::vector<int> allowed = allowed_processors();
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (size_t i = 0; i < count && i < allowed.size(); ++i) CPU_SET(allowed[i], &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) ::_exit(100);
    ::_exit(body());
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vel::testing
