#include "pool/process/process_control.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <cstring>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "core/machine.h"
#include "pool/process/engine_sweeper.h"
#include "pool/process/proc_facts.h"
#include "pool/process/spawned_registry.h"

namespace vel {

namespace {

#ifndef P_PIDFD
constexpr int P_PIDFD = 3;
#endif

int pidfd_open_fd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

bool pidfd_signal(int fd, int sig) { return ::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0) == 0; }

void mark_reaped(SpawnedChild& child) { child.mark_reaped(boot_time_ns()); }

// The raw wait status of a waitid answer.
int wait_status_of(const siginfo_t& info) {
  switch (info.si_code) {
    case CLD_EXITED:
      return (info.si_status & 0xff) << 8;
    case CLD_KILLED:
      return info.si_status & 0x7f;
    case CLD_DUMPED:
      return (info.si_status & 0x7f) | 0x80;
    default:
      return info.si_status;
  }
}

// waitid on the child's pidfd (its pid where the system has no pidfd).
int wait_child(const SpawnedChild& child, siginfo_t& info, int options) {
  info = {};
  if (child.pidfd() >= 0) {
    return ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(child.pidfd()), &info, options);
  }
  return ::waitid(P_PID, static_cast<id_t>(child.pid()), &info, options);
}

// True while `child` is still our unreaped child: only then can its pid and
// its group id not belong to anyone else.
bool still_our_child(SpawnedChild& child) {
  if (child.reaped()) return false;
  siginfo_t info{};
  if (wait_child(child, info, WEXITED | WNOHANG | WNOWAIT) == 0) return true;
  if (errno == ECHILD) mark_reaped(child);  // reaped elsewhere: the pid is free
  return false;
}

void signal_child(SpawnedChild& child) {
  ::killpg(child.pid(), SIGKILL);  // the group id is the leader's pid, held while unreaped
  if (child.pidfd() >= 0) pidfd_signal(child.pidfd(), SIGKILL);
  else ::kill(child.pid(), SIGKILL);
}

// Waits until `deadline_ns` (monotonic) for the killed child to end, then
// reaps it; a child stuck in the kernel stays unreaped for later polls.
void reap_by(SpawnedChild& child, uint64_t deadline_ns) {
  siginfo_t info{};
  for (;;) {
    if (wait_child(child, info, WEXITED | WNOHANG) == 0) {
      if (info.si_pid != 0) {
        mark_reaped(child);
        return;
      }
    } else {
      if (errno == ECHILD) mark_reaped(child);
      if (errno != EINTR) return;
    }
    const uint64_t now = mono_ns();
    if (now >= deadline_ns) return;
    const int wait_ms = static_cast<int>((deadline_ns - now + 999'999) / 1'000'000);
    if (child.pidfd() >= 0) {
      pollfd p{child.pidfd(), POLLIN, 0};
      ::poll(&p, 1, wait_ms);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms < 5 ? wait_ms : 5));
    }
  }
}

uint64_t deadline_after_ms(int ms) { return mono_ns() + static_cast<uint64_t>(ms) * 1'000'000; }

EngineCandidate candidate_from(const ProcessFacts& f) {
  return {f.stat.pid, f.stat.ppid, f.uid, ticks_to_ns(f.stat.start_ticks), f.args};
}

// Signals the process `pid` through a pidfd opened before its facts are
// read, when they pass `still_ok`. The pidfd reaches only the process it
// was opened on: had that one ended and its pid gone to another before the
// read, the signal finds no one, so the facts that passed are always those
// of the process signalled.
template <class Check>
bool kill_engine_checked(pid_t pid, const Check& still_ok) {
  if (!signallable_pid(pid)) return false;
  const int fd = pidfd_open_fd(pid);
  if (fd < 0) return false;
  bool sent = false;
  if (const auto now = read_process_facts(pid)) {
    if (still_ok(candidate_from(*now))) sent = pidfd_signal(fd, SIGKILL);
  }
  ::close(fd);
  return sent;
}

struct ProcessScan {
  std::vector<EngineCandidate> engines;  // our user's processes with an engine's arguments
  std::unordered_set<pid_t> live;        // every pid seen
};

ProcessScan scan_processes() {
  ProcessScan scan;
  const uid_t me = ::geteuid();
  ProcFileReader reader;
  for (pid_t pid : list_process_ids()) {
    scan.live.insert(pid);
    // The arguments first: one file per process, the other two only for
    // the few that pass the rule.
    const auto raw = reader.read(pid, "cmdline", kCmdlineLimit);
    if (!raw || !engine_client_pid(cmdline_joined(*raw))) continue;
    const auto facts = read_process_facts(pid);
    if (!facts || facts->uid != me || !engine_client_pid(facts->args)) continue;
    scan.engines.push_back(candidate_from(*facts));
  }
  return scan;
}

}  // namespace

ChildPoll poll_child(WorkerChild& child) {
  if (child.reaped()) return {ChildState::NoChild, 0, ECHILD};
  siginfo_t info{};
  // A look first, leaving the child unreaped: while it is our zombie its pid
  // still names its group, so the group can be killed without reaching
  // anyone else's. The children a worker started in its group go with it
  // however it ended; once reaped, the pid is free for others.
  if (wait_child(*child.link, info, WEXITED | WNOHANG | WNOWAIT) == 0) {
    if (info.si_pid == 0) return {ChildState::Running, 0, 0};
    ::killpg(child.pid(), SIGKILL);
    if (wait_child(*child.link, info, WEXITED | WNOHANG) == 0) {
      // Ended already, so the reap finds it; an empty answer is no end.
      if (info.si_pid == 0) return {ChildState::Running, 0, 0};
      mark_reaped(*child.link);
      return {ChildState::Exited, wait_status_of(info), 0};
    }
  }
  const int e = errno;
  if (e == ECHILD) {
    mark_reaped(*child.link);
    return {ChildState::NoChild, 0, e};
  }
  return {ChildState::Failed, 0, e};
}

std::string describe_wait_status(int s) {
  if (WIFEXITED(s)) return "exit status: " + std::to_string(WEXITSTATUS(s));
  if (WIFSIGNALED(s)) {
    const int sig = WTERMSIG(s);
    const char* abbrev = sigabbrev_np(sig);
    std::string text = "signal: " + std::to_string(sig);
    if (abbrev != nullptr) text += std::string(" (SIG") + abbrev + ")";
    if (WCOREDUMP(s)) text += " (core dumped)";
    return text;
  }
  return "unrecognised wait status: " + std::to_string(s);
}

void kill_pool_worker(WorkerChild& child) {
  WorkerChild* one = &child;
  kill_pool_workers({&one, 1});
}

void kill_pool_workers(std::span<WorkerChild* const> children) {
  std::vector<SpawnedChild*> signalled;
  for (WorkerChild* child : children) {
    if (!child->link || !still_our_child(*child->link)) continue;
    signal_child(*child->link);
    signalled.push_back(child->link.get());
  }
  const uint64_t deadline = deadline_after_ms(kKilledChildWaitMs);
  for (SpawnedChild* child : signalled) reap_by(*child, deadline);
  std::vector<EngineClient> clients;
  for (WorkerChild* child : children) {
    if (!child->link) continue;
    clients.push_back({child->pid(), child->reaped() ? child->ended_boot_ns() : std::nullopt});
    if (!child->reaped()) note_child_to_reap(child->link);
  }
  if (!clients.empty()) sweep_engines_later(std::move(clients));
}

void end_pool_workers(std::span<WorkerChild* const> children) {
  std::vector<EngineClient> clients;
  for (WorkerChild* child : children) {
    if (!child->link) continue;
    if (still_our_child(*child->link)) signal_child(*child->link);
    // No wait: a child that has not ended yet is the poll's.
    if (!child->reaped()) reap_by(*child->link, 0);
    if (child->reaped()) {
      clients.push_back({child->pid(), child->ended_boot_ns()});
    } else {
      note_child_to_reap(child->link);
    }
  }
  if (!clients.empty()) sweep_engines_later(std::move(clients));
}

namespace {

struct ChildrenToReap {
  std::mutex mutex;
  std::vector<std::shared_ptr<SpawnedChild>> children;
};

ChildrenToReap& children_to_reap() {
  static ChildrenToReap* list = new ChildrenToReap;  // never destroyed: polled until the end
  return *list;
}

}  // namespace

void note_child_to_reap(std::shared_ptr<SpawnedChild> child) {
  if (!child || child->reaped()) return;
  ChildrenToReap& list = children_to_reap();
  std::lock_guard lock(list.mutex);
  for (const auto& held : list.children)
    if (held == child) return;
  list.children.push_back(std::move(child));
}

size_t poll_children_to_reap() {
  ChildrenToReap& list = children_to_reap();
  std::vector<EngineClient> reaped;
  size_t left = 0;
  {
    std::lock_guard lock(list.mutex);
    std::erase_if(list.children, [&reaped](const std::shared_ptr<SpawnedChild>& child) {
      if (!child->reaped()) {
        siginfo_t info{};
        if (wait_child(*child, info, WEXITED | WNOHANG) == 0) {
          if (info.si_pid == 0) return false;
        } else if (errno != ECHILD) {
          return false;
        }
        mark_reaped(*child);
      }
      // Its engines were left for now: its pid was not ours to match by.
      reaped.push_back({child->pid(), child->ended_boot_ns()});
      return true;
    });
    left = list.children.size();
  }
  if (!reaped.empty()) sweep_engines_later(std::move(reaped));
  return left;
}

std::vector<size_t> client_chunk_sizes(size_t count) {
  std::vector<size_t> sizes;
  for (size_t at = 0; at < count; at += kEngineClientChunk) {
    sizes.push_back(count - at < kEngineClientChunk ? count - at : kEngineClientChunk);
  }
  return sizes;
}

void kill_engines_of_clients(std::span<const EngineClient> clients) {
  const uid_t me = ::geteuid();
  size_t at = 0;
  for (size_t size : client_chunk_sizes(clients.size())) {
    std::unordered_map<pid_t, const EngineClient*> by_pid;
    for (const EngineClient& c : clients.subspan(at, size)) {
      // Two registrations of one pid: the unreaped (or latest) one decides.
      auto [it, fresh] = by_pid.emplace(c.pid, &c);
      if (!fresh && (!c.ended_boot_ns || (it->second->ended_boot_ns && *c.ended_boot_ns > *it->second->ended_boot_ns))) {
        it->second = &c;
      }
    }
    at += size;
    // Only the arguments of every process are read; an engine of one of
    // these clients is read whole once, after its pidfd is open.
    ProcFileReader reader;
    for (pid_t pid : list_process_ids()) {
      const auto raw = reader.read(pid, "cmdline", kCmdlineLimit);
      const auto named = raw ? engine_client_pid(cmdline_joined(*raw)) : std::nullopt;
      const auto it = named ? by_pid.find(*named) : by_pid.end();
      if (it == by_pid.end()) continue;
      const EngineClient client = *it->second;
      kill_engine_checked(pid, [&](const EngineCandidate& now) { return engine_belongs_to(now, client, me); });
    }
  }
}

void sweep_session_on_exit() {
  const auto entries = spawned_registry().snapshot();
  if (entries.empty()) return;
  std::vector<SpawnedChild*> killed;
  for (const auto& e : entries) {
    if (!still_our_child(*e)) continue;
    signal_child(*e);
    killed.push_back(e.get());
  }
  // One bound for all of them: children stuck in the kernel cannot hold the
  // quit for longer.
  const uint64_t deadline = deadline_after_ms(kKilledChildWaitMs);
  for (SpawnedChild* child : killed) reap_by(*child, deadline);
  std::vector<EngineClient> clients;
  clients.reserve(entries.size());
  for (const auto& e : entries) clients.push_back({e->pid(), e->reaped() ? e->ended_boot_ns() : std::nullopt});
  kill_engines_of_clients(clients);
}

size_t sweep_orphan_engines() {
  if (any_aerender_running()) return 0;
  const uid_t me = ::geteuid();
  const ProcessScan scan = scan_processes();
  const auto orphan = [&](const EngineCandidate& e, bool client_alive) {
    if (e.uid != me) return false;
    const auto client = engine_client_pid(e.args);
    return client && (!client_alive || e.ppid != *client);
  };
  size_t killed = 0;
  for (const EngineCandidate& engine : scan.engines) {
    const pid_t client = *engine_client_pid(engine.args);
    if (!orphan(engine, scan.live.count(client) != 0)) continue;
    const bool sent = kill_engine_checked(engine.pid, [&](const EngineCandidate& now) {
      return now.start_boot_ns == engine.start_boot_ns &&
             orphan(now, read_small_file("/proc/" + std::to_string(client) + "/stat", 4096).has_value());
    });
    killed += sent ? 1 : 0;
  }
  return killed;
}

bool any_aerender_running() {
  const uid_t me = ::geteuid();
  ProcFileReader reader;
  for (pid_t pid : list_process_ids()) {
    const auto stat_text = reader.read(pid, "stat", 4096);
    const auto stat = stat_text ? parse_proc_stat(*stat_text) : std::nullopt;
    if (!stat || stat->comm != "aerender" || stat->state == 'Z' || stat->state == 'X') continue;
    const auto status = reader.read(pid, "status", 16384);
    const auto uid = status ? parse_status_uid(*status) : std::nullopt;
    if (uid && *uid == me) return true;
  }
  return false;
}

bool short_window_open(const ShortWindowRecord& record, uint64_t now_ns) {
  if (record.marker == 0 || record.bytes >= (uint64_t{1} << 25)) return false;
  if (!record.started_ns) return true;
  return now_ns >= *record.started_ns && now_ns - *record.started_ns < 2'000'000;
}

}  // namespace vel
