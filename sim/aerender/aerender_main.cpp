// aerender: the stand-in of the host's command-line renderer (see aerender_run.h).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "aerender_run.h"

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return sim::run_aerender(
      args,
      [](const char* name) -> std::optional<std::string> {
        const char* v = std::getenv(name);
        return v ? std::optional<std::string>(v) : std::nullopt;
      },
      stdout);
}
