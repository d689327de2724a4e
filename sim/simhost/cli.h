// simhost's command line:
//   simhost --plugin PATH --project FILE [--seconds N] [--scenario FILE]
//           [--command NAME]... [--hide-suite NAME]... [--fail-call CALL=CODE]... [--out DIR]
//           [--update-reply FILE] [--opener PATH]
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simhost/result.h"

namespace sim {

struct Options {
  std::string plugin;
  std::string project;
  std::string scenario;            // empty: none
  std::string out_dir = ".";
  double seconds = 3.0;            // how long the main loop runs after start-up
  std::vector<std::string> commands;
  std::vector<std::string> hidden_suites;
  // Calls made to answer a chosen host error every time (see CallFaults).
  struct FailedCall {
    std::string call;
    int32_t code = 0;
  };
  std::vector<FailedCall> failed_calls;
  std::string update_reply;        // body the update service serves; empty: it offers nothing
  std::string opener;              // link opener; empty: the recorder writing into --out
  // Some hosts ignore SIGCHLD, so the system reaps every child for them and
  // a plug-in's waitpid answers "no child".
  bool reap_children = false;
  // Scripting: off answers every script "simhost: scripting is not available".
  bool scripting = true;
  // Switches of the scripting model and its template store (see script_host.h).
  std::vector<std::string> script_switches;
  bool gpu = true;                 // false: the machine has no Metal device
};

inline constexpr double kMaxRunSeconds = 24.0 * 3600.0;

Result<Options> parse_command_line(const std::vector<std::string>& args);
const char* usage_text();

}  // namespace sim
