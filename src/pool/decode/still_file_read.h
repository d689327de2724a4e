// Reading a frame file that its worker may still be changing in place. A
// worker that rewrites a frame file after handing it over (in small writes,
// under its final name) must never give the host a mix of two states of it:
// the read is bracketed by two looks at the file's status (size, modification
// and change times to the nanosecond, device and inode, and the inode the
// name gives), and a file that changed in between is refused for that read.
//
// A change in the same timestamp tick as the one before it may leave the
// times as they were; so a file is read only once its last change lies at
// least a settle behind (longer than a coarse clock tick), after which any
// further change carries a later time. A file younger than that is refused
// at once, not waited for: the reader is a batch's decoder, which has other
// frames to read meanwhile, and the batch tries the frame again later (its
// tries are spaced in time, frame_tries.h). What remains unseen: a file
// that stands still in the middle of a rewrite for longer than the settle (a
// worker held up between two writes for over 50 ms, one killed in the
// middle of a rewrite, or one that renames a half-made file into place),
// writes through a shared mapping of the file (their times are set when a
// page is first dirtied, not at each store), and file systems whose
// timestamps are coarser than the settle.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "cache/buffer_pool.h"
#include "core/change_stamp.h"

namespace vel {

struct StillReadTiming {
  // How long the file must have stood unchanged before its read: longer
  // than a coarse clock tick, and than most holdups of a busy machine
  // between two writes of a worker.
  std::chrono::nanoseconds settle = std::chrono::milliseconds(50);
  // How long read_still_file waits for a file that keeps changing, the
  // reads included; past it the call gives up.
  std::chrono::nanoseconds patience = std::chrono::milliseconds(400);
};

// The whole file `name` of the open folder `dir` in a pooled buffer, as one
// still state of it; `shown` names it for errors. The name must give a
// regular file of this user with one name, opened without following a link.
// Nothing for anything else, a size of 0 or above `limit`, an error of the
// system, a file changed within the settle or during the read. Never sleeps
// and never blocks on what sits at the name. `read`, when given, receives the
// status of the file that was read.
std::optional<ByteBuffer> read_still_file_at(int dir, const std::string& name, const std::filesystem::path& shown,
                                             uint64_t limit, const StillReadTiming& timing = {},
                                             FileChangeStamp* read = nullptr);

// The same for the file at `path`, its folder opened as the path gives it,
// for a caller that names one file and has nothing else to do meanwhile: a
// file changed too lately is waited for (sleeping), within the patience.
std::optional<ByteBuffer> read_still_file(const std::filesystem::path& path, uint64_t limit,
                                          const StillReadTiming& timing = {}, FileChangeStamp* read = nullptr);

}  // namespace vel
