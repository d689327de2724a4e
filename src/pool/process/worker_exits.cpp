#include <cstring>
#include <string>

#include "core/log.h"
#include "core/machine.h"
#include "pool/batch/pool_job.h"

namespace vel {

namespace {

void end_pool_worker(WorkerChild& child) {
  WorkerChild* one = &child;
  end_pool_workers({&one, 1});
}

void finish(PoolJob& job, size_t index, std::vector<EndedClient>& ended, std::vector<size_t>& exited) {
  job.finished = true;
  if (job.reader_flags) (*job.reader_flags)[0].store(true, std::memory_order_release);
  ended.push_back({job.child.pid(), mono_ns(), job.child.ended_boot_ns()});
  exited.push_back(index);
}

}  // namespace

size_t reap_exited_workers(std::vector<PoolJob>& jobs, std::vector<EndedClient>& ended, std::vector<size_t>& exited) {
  size_t running = 0;
  for (size_t i = 0; i < jobs.size(); ++i) {
    PoolJob& job = jobs[i];
    if (job.finished) continue;
    const ChildPoll poll = poll_child(job.child);
    switch (poll.state) {
      case ChildState::Running:
        ++running;
        break;
      case ChildState::Exited:
        job.clean_exit = poll.wait_status == 0;
        finish(job, i, ended, exited);
        if (!job.clean_exit) {
          log_line("ERROR", "pool: worker " + std::to_string(job.worker_index) + " sorti en erreur (" +
                                describe_wait_status(poll.wait_status) + ") — log : " + job.log_path.string());
        }
        break;
      case ChildState::NoChild:
        // A host that reaps its children took the status: the worker ended
        // as every worker does, and its frames tell whether its range is
        // whole (the missing ones are replayed). Its engines are swept;
        // end_pool_workers signals nothing through a pid it no longer holds.
        end_pool_worker(job.child);
        job.clean_exit = true;
        finish(job, i, ended, exited);
        break;
      case ChildState::Failed:
        end_pool_worker(job.child);
        job.clean_exit = false;
        finish(job, i, ended, exited);
        log_line("ERROR", "pool: try_wait: " + std::string(std::strerror(poll.error)) + " (os error " +
                              std::to_string(poll.error) + ")");
        break;
    }
  }
  return running;
}

void end_settled_worker(PoolJob& job, size_t index, std::vector<EndedClient>& ended, std::vector<size_t>& exited) {
  if (job.finished) return;
  end_pool_worker(job.child);
  job.clean_exit = true;
  finish(job, index, ended, exited);
}

}  // namespace vel
