#include "pool/process/hung_workers.h"

#include <signal.h>

#include "core/dir_fd.h"
#include "core/log.h"
#include "core/machine.h"

namespace vel {

std::string killed_worker_text(uint64_t worker_index, const std::filesystem::path& log_path) {
  // SIGKILL is also the raw wait status of a process it ended.
  return "pool: worker " + std::to_string(worker_index) + " sorti en erreur (" + describe_wait_status(SIGKILL) +
         ") — log : " + log_path.string();
}

namespace {

void book_killed_job(PoolJob& job, size_t index, std::vector<EndedClient>& ended, std::vector<size_t>& exited) {
  WorkerChild* child = &job.child;
  end_pool_workers({&child, 1});
  job.finished = true;
  job.clean_exit = false;
  if (job.reader_flags) (*job.reader_flags)[0].store(true, std::memory_order_release);
  ended.push_back({job.child.pid(), mono_ns(), job.child.ended_boot_ns()});
  exited.push_back(index);
}

}  // namespace

void retire_hung_job(PoolJob& job, size_t index, std::vector<EndedClient>& ended, std::vector<size_t>& exited) {
  if (job.finished) return;
  book_killed_job(job, index, ended, exited);
  log_line("ERROR", killed_worker_text(job.worker_index, job.log_path));
}

bool worker_path_misled(const PoolJob& job) {
  return job.worker_folder && job.worker_folder->ok() && !path_leads_to(job.worker_dir, job.worker_folder->get());
}

void retire_misled_job(PoolJob& job, size_t index, std::vector<EndedClient>& ended, std::vector<size_t>& exited) {
  if (job.finished) return;
  book_killed_job(job, index, ended, exited);
  log_line("ERROR", "pool: worker " + std::to_string(job.worker_index) + " arrêté — " + job.worker_dir.string() +
                        " ne mène plus au dossier créé (lien ou dossier remplacé)");
}

}  // namespace vel
