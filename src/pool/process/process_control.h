// Killing, waiting for and sweeping the pool's processes. Everything here
// signals only what this host started: its own unreaped children (whose pids
// cannot be reused until reaped) and render engines that pass the exact
// engine rule, each checked again through a pidfd just before the signal.
// No system tool and no shell is run; every wait is bounded.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pool/process/engine_match.h"
#include "pool/process/spawned_registry.h"

namespace vel {

// A worker this host spawned, shared with the spawned-process registry. It
// counts as reaped once its exit status was collected, by us or (a host that
// reaps every child itself) by someone else; from then on nothing is ever
// signalled through it.
struct WorkerChild {
  std::shared_ptr<SpawnedChild> link;
  pid_t pid() const { return link ? link->pid() : -1; }
  bool reaped() const { return !link || link->reaped(); }
  std::optional<uint64_t> ended_boot_ns() const { return link ? link->ended_boot_ns() : std::nullopt; }
};

enum class ChildState {
  Running,
  Exited,   // reaped now; `wait_status` holds the raw status
  NoChild,  // someone else reaped it: the pid is free
  Failed,   // the poll failed otherwise; `error` holds errno
};

struct ChildPoll {
  ChildState state = ChildState::Running;
  int wait_status = 0;
  int error = 0;
};

// Polls without blocking; an end (or "no child") marks the child and the
// spawned registry reaped. An ended child's process group is killed before
// it is reaped: what the worker left running in its group ends with it.
ChildPoll poll_child(WorkerChild& child);

// The platform's usual wording of a wait status: "exit status: 3",
// "signal: 9 (SIGKILL)", with " (core dumped)" when so.
std::string describe_wait_status(int wait_status);

// How long a killed child is waited for before it is left to later polls.
inline constexpr int kKilledChildWaitMs = 1000;

// Kills the worker's process group and the worker while it is our unreaped
// child, waits for it (bounded), then has its render engines killed: by the
// engine sweep thread once the worker is reaped (the caller does not wait
// for that walk over every process), here and now otherwise. A child not
// reaped within the bound stays unreaped and is polled again later.
void kill_pool_worker(WorkerChild& child);

// Many workers at once: every group is signalled first, then all are reaped
// under one shared bound, then their engines are swept in one scan, so the
// caller waits about as long for eight workers as for one. A child still
// unreaped at the bound goes to the children still to reap.
void kill_pool_workers(std::span<WorkerChild* const> children);

// The main thread's kill: every group is signalled now and nothing is
// waited for. A child already ended is reaped here and its engines go to
// the sweep thread; the others are reaped by a later poll of the children
// to reap, which hands their engines over then.
void end_pool_workers(std::span<WorkerChild* const> children);

// Killed children whose bounded wait ran out. Left unreaped they would stay
// zombies for the session; the pool's memory tick polls them without
// blocking on every tick; the engines of each one it reaps go to the sweep
// thread. Answers how many are still waiting.
void note_child_to_reap(std::shared_ptr<SpawnedChild> child);
size_t poll_children_to_reap();

// Kills every render engine of these clients. Clients are taken in chunks
// of at most 40, one process scan per chunk.
void kill_engines_of_clients(std::span<const EngineClient> clients);
inline constexpr size_t kEngineClientChunk = 40;
std::vector<size_t> client_chunk_sizes(size_t client_count);

// At quit: kills the groups of registered leaders still unreaped, reaps them
// (bounded), then the engines of every registered client.
void sweep_session_on_exit();

// At load: when no "aerender" of ours runs, kills the engines of ours whose
// client is gone (no process has its pid, or the engine's parent is not it).
// Answers how many engines were signalled.
size_t sweep_orphan_engines();

// True when a live (not zombie) process of our user is named "aerender".
bool any_aerender_running();

// The supervision's short-window test on a pending-delivery record.
struct ShortWindowRecord {
  uint32_t marker = 0;
  uint64_t bytes = 0;
  std::optional<uint64_t> started_ns;  // monotonic
};
bool short_window_open(const ShortWindowRecord& record, uint64_t now_ns);

}  // namespace vel
