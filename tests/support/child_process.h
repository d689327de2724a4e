// Runs a program as a child of the test: its own environment, bounded in
// time, killed and reaped by pid. Nothing here looks processes up by name.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vel::testing {

struct ChildResult {
  int exit_code = -1;  // -1 when killed or not started
  bool timed_out = false;
  std::string output;  // stdout and stderr together
};

// `env` entries are "NAME=value"; the child gets these plus the test run's
// PATH and sanitizer settings. `cwd` empty keeps the current folder.
ChildResult run_child(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env, const std::string& cwd, int timeout_seconds);
// As above; the child (and its group) is also killed as soon as `kill_when`
// answers true, which it is asked between reads of the child's output.
ChildResult run_child(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env, const std::string& cwd, int timeout_seconds,
                      const std::function<bool()>& kill_when);

}  // namespace vel::testing
