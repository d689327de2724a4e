// Frame files that do not stand still once they appear under their name:
//   SIM_AERENDER_LATE_WRITE_MS=w0:n  each frame file is made empty under its
//       final name and its bytes written n ms later (a large frame, a busy
//       machine); the worker goes on only then
//   SIM_AERENDER_CHURN=w0:k         frame k ("+k": the k-th after the
//       range's first), once written, is written again every 10 ms, its
//       header damaged, until the worker ends: a file that never settles,
//       and never holds a whole frame again (however long a busy machine
//       holds the worker up between two writes)
// (worker_file_faults.h reads them.)
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

inline constexpr std::chrono::milliseconds kChurnPause{10};

// Makes the file empty at `path`, waits `delay`, then writes `bytes` into
// it. False (with `why`) on an error.
bool write_frame_file_late(const std::string& path, const std::vector<uint8_t>& bytes,
                           std::chrono::milliseconds delay, std::string& why);

// Writes `bytes`, their first 4 bytes inverted, over the file at `path`
// every kChurnPause, from a thread of its own, until the process ends. False
// (with `why`) when it cannot start.
bool keep_rewriting(const std::string& path, std::vector<uint8_t> bytes, std::string& why);

}  // namespace sim
