// A worker that stays alive but stopped delivering (hung after its first
// frames, or never started) is never reaped by the exit check, so its range
// would wait for ever. Once it has shown nothing for the batch's silent
// limit it is killed with its group and engines, and its end is booked as
// the exit check books any abnormal exit, so its missing frames get their
// one replay.
#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "pool/batch/pool_job.h"

namespace vel {

// The exit check's line for a worker ended by SIGKILL: "pool: worker {}
// sorti en erreur (signal: 9 (SIGKILL)) — log : {}".
std::string killed_worker_text(uint64_t worker_index, const std::filesystem::path& log_path);

// Kills `job`, the batch's job number `index`, and books its end: finished,
// not clean, its reader's cancel flag raised, appended to `ended` and
// `exited`, and logged at ERROR. A job already finished is left alone.
void retire_hung_job(PoolJob& job, size_t index, std::vector<EndedClient>& ended, std::vector<size_t>& exited);

// Whether the path `job` writes by no longer leads to the folder made for
// it: its job folder moved away and something put in its place (a link to
// a user's folder), so that its next frames would land there.
bool worker_path_misled(const PoolJob& job);
// Kills `job` and books its end as retire_hung_job does, with one ERROR
// line: "pool: worker {} arrêté — {} ne mène plus au dossier créé (lien ou
// dossier remplacé)".
void retire_misled_job(PoolJob& job, size_t index, std::vector<EndedClient>& ended, std::vector<size_t>& exited);

}  // namespace vel
