// Panels built by these tests start present workers in the process-wide
// registries, as the plug-in's do; the plug-in's death hook joins them, so
// the suite does the same once its last test has run. Otherwise a finished
// but unjoined worker is a thread leak to ThreadSanitizer when a test runs
// in a process of its own.
#include <gtest/gtest.h>

#include "cache/worker_registry.h"
#include "panel/present/present_workers.h"

namespace vel {
namespace {

class JoinedWorkers : public ::testing::Environment {
 public:
  void TearDown() override {
    join_present_workers();
    BackgroundWorkerRegistry::process().drain();
  }
};

[[maybe_unused]] ::testing::Environment* const kJoinedWorkers =
    ::testing::AddGlobalTestEnvironment(new JoinedWorkers);

}  // namespace
}  // namespace vel
