// simhost: the stand-in host that loads a general plug-in and drives it.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "scenario/run_loop.h"
#include "simhost/cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(sim::usage_text(), stdout);
    return 0;
  }
  sim::Result<sim::Options> options = sim::parse_command_line(args);
  if (!options) {
    std::fprintf(stderr, "simhost: %s\n%s", options.error().c_str(), sim::usage_text());
    return 2;
  }
  if (options.value().reap_children) std::signal(SIGCHLD, SIG_IGN);
  return sim::run_simhost(options.value());
}
