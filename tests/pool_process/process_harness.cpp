#include "pool_process/process_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <grp.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "pool/process/engine_match.h"
#include "pool/process/proc_facts.h"

namespace vel::testing {

bool in_own_pid_namespace() { return ::getpid() == 1; }

bool can_switch_user() {
  std::ifstream map("/proc/self/uid_map");
  uint64_t inside = 1, outside = 1, count = 0;
  map >> inside >> outside >> count;
  return ::geteuid() == 0 && inside == 0 && outside == 0 && count == 4294967295ull;
}

bool wait_exit(pid_t pid) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return errno == ESRCH;
  pollfd p{fd, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, 30'000);
  } while (r < 0 && errno == EINTR);
  ::close(fd);
  return r > 0;
}

void reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) < 0 && errno == EINTR) {
  }
}

void kill_and_reap(pid_t pid) {
  if (pid < 2) return;
  ::kill(pid, SIGKILL);
  wait_exit(pid);
  reap(pid);
}

bool alive(pid_t pid) {
  const auto text = read_small_file("/proc/" + std::to_string(pid) + "/stat", 4096);
  const auto stat = text ? parse_proc_stat(*text) : std::nullopt;
  return stat && stat->state != 'Z' && stat->state != 'X';
}

std::vector<pid_t> other_processes() {
  std::vector<pid_t> out;
  for (pid_t pid : list_process_ids()) {
    if (pid == ::getpid()) continue;
    if (!alive(pid)) {
      reap(pid);
      continue;
    }
    out.push_back(pid);
  }
  return out;
}

std::vector<pid_t> engines_of(pid_t client) {
  std::vector<pid_t> out;
  for (pid_t pid : list_process_ids()) {
    const auto facts = read_process_facts(pid);
    if (facts && alive(pid) && engine_client_pid(facts->args) == client) out.push_back(pid);
  }
  return out;
}

std::vector<pid_t> group_members(pid_t pgrp) {
  std::vector<pid_t> out;
  for (pid_t pid : list_process_ids()) {
    const auto facts = read_process_facts(pid);
    if (facts && alive(pid) && facts->stat.pgrp == pgrp) out.push_back(pid);
  }
  return out;
}

bool make_next_pid(pid_t pid) {
  std::ofstream f("/proc/sys/kernel/ns_last_pid");
  f << (pid - 1);
  f.flush();
  return f.good();
}

pid_t spawn_process(const std::string& program, const std::vector<std::string>& args, int* lifeline,
                    std::optional<uid_t> uid, std::optional<pid_t> pid_wanted) {
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  std::vector<char*> argv;
  std::vector<std::string> copy = args;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The child writes its errno here when it cannot become `program`; the
  // end closes on a successful exec. A child that is merely alive proves
  // nothing: one that fails to exec dies a moment later.
  int exec_report[2] = {-1, -1};
  if (::pipe2(exec_report, O_CLOEXEC) != 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return -1;
  }
  if (pid_wanted && !make_next_pid(*pid_wanted)) {
    for (int fd : {fds[0], fds[1], exec_report[0], exec_report[1]}) ::close(fd);
    return -1;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[0], 0);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::setpgid(0, 0);
    if (!uid || (::setgroups(0, nullptr) == 0 && ::setresgid(*uid, *uid, *uid) == 0 &&
                 ::setresuid(*uid, *uid, *uid) == 0)) {
      ::execv(program.c_str(), argv.data());
    }
    const int err = errno;
    [[maybe_unused]] const ssize_t n = ::write(exec_report[1], &err, sizeof err);
    _exit(127);
  }
  ::close(fds[0]);
  ::close(exec_report[1]);
  int child_errno = 0;
  ssize_t got;
  do {
    got = pid > 0 ? ::read(exec_report[0], &child_errno, sizeof child_errno) : 0;
  } while (got < 0 && errno == EINTR);
  ::close(exec_report[0]);
  if (pid > 0 && got > 0) {
    std::cerr << "spawn_process: " << program << " did not start: " << std::strerror(child_errno) << "\n";
    ::close(fds[1]);
    reap(pid);
    return -1;
  }
  if (lifeline != nullptr) *lifeline = fds[1];
  else ::close(fds[1]);
  return pid;
}

pid_t spawn_process_at(pid_t pid, const std::string& program, const std::vector<std::string>& args, int* lifeline) {
  pid_t got = -1;
  for (int attempt = 0; attempt < 200; ++attempt) {
    int line = -1;
    got = spawn_process(program, args, &line, std::nullopt, pid);
    if (got == pid || attempt == 199) {
      if (lifeline != nullptr) *lifeline = line;
      else ::close(line);
      return got;
    }
    ::close(line);
    kill_and_reap(got);
    ::usleep(5000);
  }
  return got;
}

std::string read_link(const std::string& path) {
  char buf[4096];
  const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::vector<std::string> proc_strings(pid_t pid, const char* file) {
  const auto bytes = read_small_file("/proc/" + std::to_string(pid) + "/" + file, 1 << 20);
  return bytes ? parse_cmdline(*bytes) : std::vector<std::string>{};
}

}  // namespace vel::testing
