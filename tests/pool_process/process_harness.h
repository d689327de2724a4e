// The pool's process tests run in a pid namespace of their own with their own
// /proc (the test binary re-executes itself under `unshare` and is pid 1
// there): the sweeps see only this test's processes and can never touch
// another test or the machine. Every process here is the test's own, found
// by pid, bounded in time, killed and reaped by the test.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vel::testing {

// True when this process is pid 1 of its own pid namespace.
bool in_own_pid_namespace();
// True when other user ids can be used (real root, no user namespace).
bool can_switch_user();

// Waits (bounded, 30 s) for the process to exit, without reaping it.
bool wait_exit(pid_t pid);
// Reaps `pid` when it is our child (orphans are: we are pid 1).
void reap(pid_t pid);
// Kills by pid and reaps.
void kill_and_reap(pid_t pid);

// Alive and not a zombie.
bool alive(pid_t pid);
// Live processes other than this one, zombies of ours reaped first.
std::vector<pid_t> other_processes();

// Engines (exact rule) naming `client`.
std::vector<pid_t> engines_of(pid_t client);
// Live processes whose process group is `pgrp`.
std::vector<pid_t> group_members(pid_t pgrp);

// Starts `program` with argv `args` (argv[0] included), standard input a
// pipe whose writing end the test keeps in `*lifeline` (stand-in engines
// and helpers end when it closes), outputs to the null device. `uid` runs it
// as another user. The next pid is `pid_wanted` when given (ns_last_pid).
pid_t spawn_process(const std::string& program, const std::vector<std::string>& args, int* lifeline = nullptr,
                    std::optional<uid_t> uid = std::nullopt, std::optional<pid_t> pid_wanted = std::nullopt);

// spawn_process as pid `pid`: a freed pid can take a moment to come back,
// so a process that landed elsewhere is killed, reaped and tried again
// (bounded). Answers the pid it got.
pid_t spawn_process_at(pid_t pid, const std::string& program, const std::vector<std::string>& args,
                       int* lifeline = nullptr);

// Sets the namespace's last pid so that the next process gets `pid`.
bool make_next_pid(pid_t pid);

std::string read_link(const std::string& path);
std::vector<std::string> proc_strings(pid_t pid, const char* file);  // cmdline, environ

}  // namespace vel::testing
