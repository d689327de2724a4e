#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace vel::testing {

ChildResult run_child(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env, const std::string& cwd, int timeout_seconds) {
  return run_child(program, args, env, cwd, timeout_seconds, [] { return false; });
}

ChildResult run_child(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env, const std::string& cwd, int timeout_seconds,
                      const std::function<bool()>& kill_when) {
  ChildResult result;
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return result;

  std::vector<std::string> argv_s{program};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_s = env;
  // The search path and the sanitizers' settings of the test run carry over.
  for (const char* keep : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* v = getenv(keep)) env_s.push_back(std::string(keep) + "=" + v);
  }
  std::vector<char*> envp;
  for (auto& e : env_s) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    setpgid(0, 0);  // its own group, so a timeout kills everything it started
    dup2(pipefd[1], 1);
    dup2(pipefd[1], 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(pipefd[1]);
  fcntl(pipefd[0], F_SETFL, O_NONBLOCK);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  int status = 0;
  bool reaped = false;
  char buf[4096];
  while (!reaped) {
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0) result.output.append(buf, static_cast<size_t>(n));
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) {
      reaped = true;
      break;
    }
    const bool asked = kill_when();
    if (asked || std::chrono::steady_clock::now() > deadline) {
      result.timed_out = !asked;
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      reaped = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ssize_t n;
  while ((n = read(pipefd[0], buf, sizeof buf)) > 0) result.output.append(buf, static_cast<size_t>(n));
  close(pipefd[0]);
  if (!result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

}  // namespace vel::testing
