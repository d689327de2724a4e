#include "panel/present/present_workers.h"

namespace vel {

BackgroundWorkerRegistry& present_workers() {
  static BackgroundWorkerRegistry& registry = *new BackgroundWorkerRegistry(
      kPresentWorkerLimit, WorkerRegistryTexts{"present: worker limit reached; using synchronous fallback",
                                               "present: worker unavailable (", ")",
                                               "present: worker terminated unexpectedly"});
  return registry;
}

void reap_present_workers() { (void)present_workers().live_count(); }

void join_present_workers() { present_workers().drain(); }

}  // namespace vel
