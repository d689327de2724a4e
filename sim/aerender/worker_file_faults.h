// Faults of the file road that act on one worker only. The pool's command
// line is fixed, so they come from the environment; the value names worker
// folders as worker_switch.h says ("w0:5", "w0:5,w1:5", "0/w0:5"), and a
// switch acts only in the folders it names (a replay runs under a new
// number, and so runs clean).
//   SIM_AERENDER_HANG_AFTER=w0:n     after n frames: alive, no further output, until killed
//   SIM_AERENDER_SKIP_FRAME=w0:k     frame k is never written; the run still ends with status 0
//   SIM_AERENDER_CRASH_AFTER=w0:n    dies (SIGABRT) after writing n frames
//   SIM_AERENDER_FRAME_MS=w1:n       every frame takes n ms more
//   SIM_AERENDER_CORRUPT=w0:k        frame k is written with a damaged header
// SKIP_FRAME and CORRUPT also take "+k": the frame k after the range's
// first, wherever the range starts ("w0:+3").
//   SIM_AERENDER_EXIT_DELAY_MS=w0:n  after its last frame the worker waits n ms before it ends
//   SIM_AERENDER_UNEXEC_AFTER=w0:n   after n frames, the running program's own file loses its
//                                    execute bits: no further worker can start from it
//   SIM_AERENDER_LINK_OUT=w0         its folder moved away and a link to SIM_AERENDER_LINK_TARGET
//                                    left in its place (output_folder_link.h)
//   SIM_AERENDER_LATE_WRITE_MS=w0:n  each frame file made empty, its bytes written n ms later
//   SIM_AERENDER_CHURN=w0:k          frame k written again every 10 ms until the worker ends
//                                    (also "+k"; unsettled_frame_file.h)
//   SIM_AERENDER_HOLLOW=w0:n         the n frames after the range's first are each a file of
//                                    400 MiB sized ahead and never filled (no byte written: a
//                                    hole), left as they are
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace sim {

// A frame named by its number, or by its place after the range's first.
struct WorkerFrame {
  int64_t number = 0;
  bool from_first = false;
  bool is(int64_t frame, int64_t first_frame) const {
    return from_first ? frame - first_frame == number : frame == number;
  }
};

struct WorkerFileFaults {
  std::optional<uint64_t> hang_after;
  std::optional<WorkerFrame> skip_frame;
  std::optional<uint64_t> crash_after;
  uint32_t extra_frame_ms = 0;
  std::optional<WorkerFrame> corrupt_frame;
  std::optional<uint64_t> unexec_after;
  uint32_t exit_delay_ms = 0;
  std::optional<std::string> link_target;  // LINK_OUT: where the link leads, "~/" expanded
  uint32_t late_write_ms = 0;
  std::optional<WorkerFrame> churn_frame;
  uint64_t hollow_frames = 0;
};

// A value that names another folder, or is malformed, is ignored.
WorkerFileFaults read_worker_file_faults(const std::function<std::optional<std::string>(const char*)>& getenv,
                                         const std::string& output_path);

}  // namespace sim
