// Faults of the file road that act on one worker only. The pool's command
// line is fixed, so they come from the environment; the value is
// "w<N>:<number>" and the switch acts only when the output path's folder is
// "w<N>" (a replay runs under a new number, and so runs clean).
//   SIM_AERENDER_HANG_AFTER=w0:n   after n frames: alive, no further output, until killed
//   SIM_AERENDER_SKIP_FRAME=w0:k   frame k is never written; the run still ends with status 0
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace sim {

struct WorkerFileFaults {
  std::optional<uint64_t> hang_after;
  std::optional<int64_t> skip_frame;
};

// A value that names another folder, or is malformed, is ignored.
WorkerFileFaults read_worker_file_faults(const std::function<std::optional<std::string>(const char*)>& getenv,
                                         const std::string& output_path);

}  // namespace sim
