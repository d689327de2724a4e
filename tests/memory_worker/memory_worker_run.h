// One memory-mode worker run as the launch makes it: the host's side of the
// output for "w0/output.vnm" in a job folder, the stand-in aerender in a pid
// namespace of its own loading the plug-in (or standing in for a hostile
// producer), and the reader, started through a process registry, draining
// into a frame channel. The stand-in is the test's own child, bounded in
// time, killed and reaped by pid.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pool/batch/pool_frame_delivery.h"
#include "project/project_model.h"
#include "support/child_process.h"

namespace vel::testing {

struct WorkerRunOptions {
  int64_t last = 7;  // frames 0 … last
  int downsample = 4;
  uint64_t factor = 1;
  std::vector<std::string> env;  // fault switches, "NAME=value"
  // The consumer stops draining the frame channel until the worker ended.
  bool stall_consumer = false;
  // The test kills the worker once this many frames arrived.
  std::optional<size_t> kill_after_frames;
  // The host's template store in the worker's HOME; none: the pool's names.
  std::optional<nlohmann::json> template_store;
};

struct WorkerRun {
  ChildResult child;
  std::vector<PoolFrameDelivery> frames;
  bool complete = false;
  bool exited = false;
  std::string worker_log;  // the plug-in's log inside the worker
  std::string host_log;    // the reader's lines, in the host
  std::string mapping;
  bool worker_dir_empty = false;
  bool registry_drained = false;
};

const sim::Composition& sample_main();
// simhost's own 8-bpc render of a frame of the sample's main composition.
std::vector<uint8_t> simhost_rgba(int frame, int downsample);
WorkerRun run_memory_worker(const WorkerRunOptions& options);
// Whatever way the run ended: `exited` set, nothing of the output left.
void expect_nothing_left(const WorkerRun& run);

}  // namespace vel::testing
