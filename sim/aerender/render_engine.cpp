#include "render_engine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

namespace {

// The child says it is running by writing one byte on this descriptor.
constexpr int kReadyFd = 3;
constexpr const char* kReadyVariable = "SIM_ENGINE_READY_FD=3";

// Waits (bounded) for the child's first byte or for its end: either way the
// child is past its exec, so its command line is its own.
void wait_until_started(int fd) {
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    const int r = ::poll(&p, 1, 30'000);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return;
    char byte;
    const ssize_t n = ::read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    return;
  }
}

}  // namespace

Result<RenderEngine> start_piped_child(const std::string& program, std::vector<std::string> extra) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
  // posix_spawn lets the client go on as soon as the child's exec has swapped
  // its memory, before the new image's arguments are in place: a client that
  // ended right then left an engine that no sweep could yet recognise. Like
  // the host's engines, which report to their client once started, the child
  // writes a byte when it runs, and the client waits for it.
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return fail(std::string("pipe: ") + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, ready[1], kReadyFd);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  std::vector<std::string> args = {program};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  std::string ready_variable = kReadyVariable;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "SIM_ENGINE_READY_FD=", 20) != 0) envp.push_back(*e);
  }
  envp.push_back(ready_variable.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(fds[0]);
  ::close(ready[1]);
  if (rc != 0) {
    ::close(ready[0]);
    ::close(fds[1]);
    return fail(program + ": " + std::strerror(rc));
  }
  wait_until_started(ready[0]);
  ::close(ready[0]);
  return RenderEngine{pid, fds[1]};
}

namespace {

// Tells the client that started this process that it runs (see above).
void report_started() {
  const char* fd = std::getenv("SIM_ENGINE_READY_FD");
  if (fd == nullptr || std::strcmp(fd, "3") != 0) return;
  ::unsetenv("SIM_ENGINE_READY_FD");
  // A client killed before it read the byte must not take this process
  // with it through SIGPIPE: the engine outlives its client by design.
  struct sigaction ignore{}, previous{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  ssize_t n;
  do {
    n = ::write(kReadyFd, "r", 1);
  } while (n < 0 && errno == EINTR);
  ::close(kReadyFd);
  ::sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace

void wait_for_end_of_pipe(int fd) {
  char byte;
  for (;;) {
    const ssize_t n = ::read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the writer is gone (or the pipe is broken)
  }
}

int run_render_engine_process(const std::vector<std::string>& args) {
  report_started();
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
