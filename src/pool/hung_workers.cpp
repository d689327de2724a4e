#include "pool/hung_workers.h"

#include <signal.h>

#include <string>

#include "core/log.h"
#include "core/machine.h"

namespace vel {

void retire_hung_job(PoolJob& job, size_t index, std::vector<EndedClient>& ended, std::vector<size_t>& exited) {
  if (job.finished) return;
  kill_pool_worker(job.child);
  job.finished = true;
  job.clean_exit = false;
  if (job.reader_flags) (*job.reader_flags)[0].store(true, std::memory_order_release);
  ended.push_back({job.child.pid(), mono_ns(), job.child.ended_boot_ns()});
  exited.push_back(index);
  // The status a wait reports for a process ended by SIGKILL.
  log_line("ERROR", "pool: worker " + std::to_string(job.worker_index) + " sorti en erreur (" +
                        describe_wait_status(SIGKILL) + ") — log : " + job.log_path.string());
}

}  // namespace vel
