#include "pool/hung_workers.h"

#include <signal.h>

namespace vel {

std::string killed_worker_text(uint64_t worker_index, const std::filesystem::path& log_path) {
  // SIGKILL is also the raw wait status of a process it ended.
  return "pool: worker " + std::to_string(worker_index) + " sorti en erreur (" + describe_wait_status(SIGKILL) +
         ") — log : " + log_path.string();
}

}  // namespace vel
