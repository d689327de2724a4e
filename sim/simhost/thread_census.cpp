#include "simhost/thread_census.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace sim {

std::vector<std::string> other_thread_names() {
  std::vector<std::string> names;
  const std::string self = std::to_string(static_cast<long>(syscall(SYS_gettid)));
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    if (entry.path().filename() == self) continue;
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    if (std::getline(comm, name)) names.push_back(name);
  }
  return names;
}

}  // namespace sim
