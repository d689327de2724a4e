// Runs simhost as a child of the test: given environment, output to a file,
// bounded in time, killed and reaped by its pid.
#pragma once

#include <string>
#include <vector>

namespace sim::test {

struct ChildExit {
  int code = -1;         // exit status; -1 when killed or not started
  bool timed_out = false;
  std::string output;    // stdout and stderr
};

ChildExit run_child(const std::string& program, const std::vector<std::string>& args,
                    const std::vector<std::string>& env, const std::string& output_file, int timeout_seconds);

}  // namespace sim::test
