// Reading a frame file that its worker may still be changing in place. A
// worker that rewrites a frame file after handing it over (in small writes,
// under its final name) must never give the host a mix of two states of it:
// the read is bracketed by two looks at the file's status (size, modification
// and change times to the nanosecond, device and inode, and the inode the path
// names), and a file that changed in between is refused for that read and
// read again once it is still.
//
// A change in the same timestamp tick as the one before it may leave the
// times as they were; so a file is read only once its last change lies at
// least a settle behind (longer than a coarse clock tick), after which any
// further change carries a later time. What remains unseen: a file that
// stands still in the middle of a rewrite for longer than the settle (a
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

#include "cache/buffer_pool.h"

namespace vel {

struct StillReadTiming {
  // How long the file must have stood unchanged before its read: longer
  // than a coarse clock tick, and than most holdups of a busy machine
  // between two writes of a worker.
  std::chrono::nanoseconds settle = std::chrono::milliseconds(50);
  // How long one call waits for a file that keeps changing, the reads
  // included; past it the call gives up.
  std::chrono::nanoseconds patience = std::chrono::milliseconds(400);
};

// The whole regular file at `path` (a link is followed) in a pooled buffer,
// as one still state of it. Nothing for a missing or non-regular file, a
// size of 0 or above `limit`, an error of the system, or a file that did not
// stay still through a read within the patience. Sleeps while it waits; never
// blocks on what sits at the path.
std::optional<ByteBuffer> read_still_file(const std::filesystem::path& path, uint64_t limit,
                                          const StillReadTiming& timing = {});

}  // namespace vel
