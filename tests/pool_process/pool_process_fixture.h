// What every process test shares: its own namespace (or a skip), a scratch
// pool folder, the plug-in log in a file, the stand-in's switches cleared
// after each test, and the check that the test left no process behind.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cache/worker_registry.h"
#include "pool/process/worker_launch.h"
#include "pool/runtime/pool_directory.h"
#include "pool_process/process_harness.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel::testing {

inline const std::string kAerender = VEL_AERENDER_PATH;
inline const std::string kAerendercore =
    (std::filesystem::path(VEL_AERENDER_PATH).parent_path() / "aerendercore").string();

class PoolProcessTest : public ::testing::Test {
 public:
  // The stand-in engine copied where another user may run it: the build
  // folder can sit under a private one (a clone in a mktemp folder).
  std::string engine_program_for_other_users();

 protected:
  void SetUp() override;
  void TearDown() override;

  // A launch of the stand-in on frames 0..9 in a fresh job folder.
  LaunchRequest request(PoolOutputKind kind = PoolOutputKind::Tga);
  // Launches and answers the job; fails the test when nothing started.
  PoolJob launch(PoolOutputKind kind = PoolOutputKind::Tga);

  std::vector<std::string> error_lines() const;
  // Waits (bounded) until `pred` holds, re-checking /proc.
  template <class Pred>
  bool eventually(Pred pred) {
    for (int i = 0; i < 6000; ++i) {
      if (pred()) return true;
      ::usleep(5000);
    }
    return pred();
  }

  ScratchDir scratch_{"vel-pool-proc"};
  std::filesystem::path pool_dir_;
  std::filesystem::path log_path_;
  BackgroundWorkerRegistry readers_;
  std::atomic<int> readers_run_{0};
  bool skipped_ = false;
  std::optional<std::string> kept_home_;
};

// The stand-in project the process tests hand their workers.
inline const std::string kSample = std::string(VEL_DEMO_DIR) + "/sample.aep";

}  // namespace vel::testing
