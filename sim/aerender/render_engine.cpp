#include "render_engine.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "process_variants.h"

extern char** environ;

namespace sim {

Result<RenderEngine> start_render_engine(const std::string& engine_path, pid_t client_pid) {
  return start_piped_child(engine_path, {"-noui", "-aerenderpid", std::to_string(client_pid)});
}

Result<RenderEngine> start_piped_child(const std::string& program, std::vector<std::string> extra) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  std::vector<std::string> args = {program};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(fds[0]);
  if (rc != 0) {
    ::close(fds[1]);
    return fail(program + ": " + std::strerror(rc));
  }
  return RenderEngine{pid, fds[1]};
}

void wait_for_end_of_pipe(int fd) {
  char byte;
  for (;;) {
    const ssize_t n = ::read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the writer is gone (or the pipe is broken)
  }
}

int run_render_engine_process(const std::vector<std::string>& args) {
  const bool helper = args.size() >= 2 && args[1] == "-helper";
  if (helper) {
    wait_for_end_of_pipe(0);
    return 0;
  }
  Result<ProcessVariants> v = read_process_variants([](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  });
  if (!v) return 2;
  // The helper first: a child still between its spawn and its exec shares
  // this process's memory, and would be measured with it.
  if (v.value().engine_helper) {
    Result<RenderEngine> h = start_piped_child(engine_path_beside_self(), {"-helper"});
    (void)h;  // its pipe end stays open here until this process exits
  }
  take_memory_and_cpu(v.value().engine_mib, v.value().engine_cpu_percent);
  wait_for_end_of_pipe(0);
  if (v.value().engine_linger_ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(v.value().engine_linger_ms));
  }
  return 0;
}

std::string engine_path_beside_self() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (self.parent_path() / "aerendercore").string();
}

}  // namespace sim
