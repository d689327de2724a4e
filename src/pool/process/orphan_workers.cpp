#include "pool/process/orphan_workers.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/log.h"
#include "core/machine.h"
#include "pool/process/engine_match.h"
#include "pool/process/proc_facts.h"
#include "pool/process/process_control.h"
#include "pool/runtime/pool_directory.h"

namespace vel {

namespace {

// A dead host's worker that was signalled is waited for this long, so that
// its engines are seen reparented before they are looked for.
constexpr int kOrphanWaitMs = 1000;

int pidfd_open_fd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

bool pidfd_signal(int fd, int sig) { return ::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0) == 0; }

struct LiveProcess {
  uint64_t start_ticks = 0;
  pid_t pgrp = 0;
  uid_t uid = 0;
  bool ended = false;  // a zombie: only its group may still hold members
};

std::optional<LiveProcess> live_process(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  const auto stat_text = read_small_file(base + "/stat", 4096);
  const auto stat = stat_text ? parse_proc_stat(*stat_text) : std::nullopt;
  if (!stat || stat->pid != pid) return std::nullopt;
  const auto status = read_small_file(base + "/status", 16384);
  const auto uid = status ? parse_status_uid(*status) : std::nullopt;
  if (!uid) return std::nullopt;
  return LiveProcess{stat->start_ticks, stat->pgrp, *uid, stat->state == 'Z' || stat->state == 'X'};
}

// Every worker and warm engine starts with VELOCINTA_POOL_WORKER=1, and the
// engines they start inherit it: a record naming any other process of ours
// (the user's editor, a shell) is wrong, whatever its start time says.
bool environment_has_mark(pid_t pid) {
  const auto environ = read_small_file("/proc/" + std::to_string(pid) + "/environ", kCmdlineLimit);
  if (!environ) return false;
  constexpr std::string_view kMark = "VELOCINTA_POOL_WORKER=1";
  const std::string_view text(*environ);
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\0', at);
    if (end == std::string_view::npos) end = text.size();
    if (text.substr(at, end - at) == kMark) return true;
    at = end + 1;
  }
  return false;
}

// A process inside an exec (a member a worker's shell has just started, a
// worker its host has just spawned: the spawner goes on once the exec has
// swapped the memory) shows an empty environment until the kernel has put
// the new one in place; it is looked at again once the exec is through,
// within a bound. A zombie has no environment to wait for.
bool started_as_pool_worker(pid_t pid) {
  const uint64_t deadline = mono_ns() + static_cast<uint64_t>(kOrphanWaitMs) * 1'000'000;
  for (;;) {
    const auto stat_text = read_small_file("/proc/" + std::to_string(pid) + "/stat", 4096);
    if (!stat_text) return false;
    const auto stat = parse_proc_stat(*stat_text);
    const auto env_end = parse_proc_stat_env_end(*stat_text);
    const bool in_exec = stat && stat->state != 'Z' && stat->state != 'X' && env_end && *env_end == 0;
    if (!in_exec || mono_ns() >= deadline) return environment_has_mark(pid);
    ::usleep(1000);
  }
}

// Signals `pid` through a pidfd once it is seen again as `ok` says: the
// pidfd holds the pid, so the process checked is the one signalled.
template <class Check>
int open_checked(pid_t pid, const Check& ok) {
  if (!signallable_pid(pid)) return -1;
  const int fd = pidfd_open_fd(pid);
  if (fd < 0) return -1;
  const auto again = live_process(pid);
  if (!again || !ok(*again)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Waits (bounded, together) until every signalled leader has ended.
void wait_ended(std::vector<int>& fds) {
  const uint64_t deadline = mono_ns() + static_cast<uint64_t>(kOrphanWaitMs) * 1'000'000;
  while (!fds.empty()) {
    std::vector<pollfd> polls;
    for (int fd : fds) polls.push_back({fd, POLLIN, 0});
    const uint64_t now = mono_ns();
    if (now >= deadline) break;
    const int wait_ms = static_cast<int>((deadline - now + 999'999) / 1'000'000);
    if (::poll(polls.data(), polls.size(), wait_ms) < 0 && errno != EINTR) break;
    std::vector<int> left;
    for (const pollfd& p : polls) {
      if (p.revents != 0) ::close(p.fd);
      else left.push_back(p.fd);
    }
    fds.swap(left);
  }
  for (int fd : fds) ::close(fd);
  fds.clear();
}

}  // namespace

size_t end_workers_of_gone_host(const WorkerRecord& record) {
  if (const auto host = live_process(record.host.pid); host && host->start_ticks == record.host.start_ticks) {
    return 0;  // its workers are its own to end
  }
  const uid_t me = ::geteuid();
  size_t signalled = 0;
  std::vector<int> leaders;
  std::vector<EngineClient> clients;
  std::unordered_map<pid_t, uint64_t> leaderless;  // group → its leader's recorded start
  for (const RecordedProcess& w : record.workers) {
    if (!signallable_pid(w.pid)) continue;
    const auto now = live_process(w.pid);
    if (now && now->start_ticks != w.start_ticks) {
      // The pid went to another process, so the group ended with the old
      // one; engines that name the pid and started before the newcomer
      // were the old client's.
      clients.push_back({w.pid, ticks_to_ns(now->start_ticks)});
      continue;
    }
    if (!now) {
      clients.push_back({w.pid, std::nullopt});
      leaderless.emplace(w.pgid, w.start_ticks);
      continue;
    }
    const int fd = open_checked(w.pid, [&](const LiveProcess& p) {
      return p.start_ticks == w.start_ticks && p.uid == me && p.pgrp == w.pgid && started_as_pool_worker(w.pid);
    });
    if (fd < 0) continue;
    // The group's number is the leader's pid, held by the pidfd: the group
    // signalled is the recorded one.
    ::killpg(w.pgid, SIGKILL);
    pidfd_signal(fd, SIGKILL);
    leaders.push_back(fd);
    clients.push_back({w.pid, std::nullopt});
    ++signalled;
  }
  if (!leaderless.empty()) {
    // A group outlives its leader while members remain, and its number is
    // not given out again until they are all gone: a member of our user in
    // such a group that started after the recorded leader is its own.
    for (pid_t pid : list_process_ids()) {
      const auto p = live_process(pid);
      if (!p || p->ended || p->uid != me) continue;
      const auto it = leaderless.find(p->pgrp);
      if (it == leaderless.end() || p->start_ticks < it->second) continue;
      const uint64_t start = p->start_ticks;
      const pid_t group = p->pgrp;
      const int fd = open_checked(pid, [&](const LiveProcess& q) {
        return q.start_ticks == start && q.pgrp == group && q.uid == me && !q.ended && started_as_pool_worker(pid);
      });
      if (fd < 0) continue;
      if (pidfd_signal(fd, SIGKILL)) ++signalled;
      ::close(fd);
    }
  }
  wait_ended(leaders);
  // Now ended, each client's engines have been handed to another parent: an
  // engine naming it that still has it as parent belongs to a live process.
  const uint64_t ended = boot_time_ns();
  for (EngineClient& c : clients)
    if (!c.ended_boot_ns) c.ended_boot_ns = ended;
  kill_engines_of_clients(clients);
  return signalled;
}

size_t take_over_worker_record(const std::filesystem::path& pool_dir, std::string* refused) {
  const std::filesystem::path path = pool_dir / kWorkerRecordName;
  // Read, removed and written again by its name in the pool folder held.
  auto held = open_pool_folder(pool_dir);
  const std::shared_ptr<const DirFd> pool = held ? held.value() : nullptr;
  size_t ended = 0;
  auto record = pool ? read_worker_record_at(pool->get(), kWorkerRecordName, path) : read_worker_record(path);
  if (!record) {
    log_line("ERROR", "pool: worker record refused: " + record.error());
    if (refused != nullptr) *refused = record.error();
  } else if (record.value()) {
    ended = end_workers_of_gone_host(**record);
  }
  // The old record is done with, refused or not; this host's own takes its
  // place with its first worker.
  if ((pool ? ::unlinkat(pool->get(), kWorkerRecordName, 0) : ::unlink(path.c_str())) != 0 && errno != ENOENT) {
    log_line("ERROR", "pool: worker record: " + path.string() + ": " + std::strerror(errno));
  }
  if (const auto self = recorded_process(::getpid())) worker_record_book().arm(path, *self, pool);
  return ended;
}

}  // namespace vel
