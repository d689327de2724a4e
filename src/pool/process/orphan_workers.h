// Ending what a dead host left running: the workers of its record, their
// process groups and their render engines. Runs at load, once this host
// holds the pool folder, before anything looks for a running "aerender"
// (an orphan would otherwise pass for a live client and hold back every
// engine sweep of the session).
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "pool/process/worker_record.h"

namespace vel {

// Kills, when the recorded host is gone, each recorded worker that is
// still the process recorded (same pid and start time, our user, started
// with the pool's worker mark in its environment): its whole group,
// through a pidfd that pins the group's number; when the leader is gone,
// the members of its group that started after it; then the engines of
// those clients. A pid taken since by another process, or a
// host still running, is left alone. Answers how many groups or members
// were signalled.
size_t end_workers_of_gone_host(const WorkerRecord& record);

// At load, in the folder this host now holds: reads the record a previous
// host left, ends its workers, removes it, and arms this host's own record,
// written there from its first worker on. A record that is refused is
// logged, reported in `refused`, and nothing is killed for it.
size_t take_over_worker_record(const std::filesystem::path& pool_dir, std::string* refused = nullptr);

}  // namespace vel
