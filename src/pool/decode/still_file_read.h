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
#include <vector>

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

// Why a still read gave no bytes.
enum class StillReadRefusal : uint8_t {
  Unreadable,  // nothing there, not a regular file of this user with one name, empty, an error, no buffer
  Unsettled,   // changed within the settle or during the read: it may be whole later
  Oversize,    // still, and larger than the limit: not read
  Unchanged,   // the very file, as it stood, that the caller said not to read again
};

// What a read of a file that may still change asks.
struct StillReadAsk {
  uint64_t limit = 0;  // a larger file is refused unread
  StillReadTiming timing{};
  // The file as it stood when its bytes proved of no use: found so again,
  // it is not read (only its status is looked at).
  std::optional<FileChangeStamp> unchanged_since;
  // Of a file over the limit, at most this many bytes of its start.
  size_t oversize_head = 0;
};

struct StillRead {
  std::optional<ByteBuffer> bytes;  // the whole file, as one still state of it
  StillReadRefusal refusal = StillReadRefusal::Unreadable;  // when no bytes
  // The status of the file read, or of the one refused as Oversize or
  // Unchanged.
  std::optional<FileChangeStamp> file;
  std::vector<uint8_t> head;  // Oversize: the start asked for
};

// The file `name` of the open folder `dir`, `shown` naming it for errors:
// the name must give a regular file of this user with one name, opened
// without following a link. Its status is looked at before anything is
// read: the file the caller named as unchanged is not read, nor one changed
// within the settle, nor one over the limit (of which only the head asked
// for is read, once it stands still). Otherwise it is read whole into a
// pooled buffer, never more than the size its status gave (a file that
// grows or shrinks meanwhile is refused as Unsettled). Never sleeps and
// never blocks on what sits at the name.
StillRead read_still_file_checked(int dir, const std::string& name, const std::filesystem::path& shown,
                                  const StillReadAsk& ask);

// The bytes of read_still_file_checked without a file to skip: nothing for
// a refusal. `read`, when given, receives the status of the file read.
std::optional<ByteBuffer> read_still_file_at(int dir, const std::string& name, const std::filesystem::path& shown,
                                             uint64_t limit, const StillReadTiming& timing = {},
                                             FileChangeStamp* read = nullptr);

// The same for the file at `path`, its folder opened as the path gives it,
// for a caller that names one file and has nothing else to do meanwhile: a
// file changed too lately is waited for (sleeping), within the patience.
StillRead read_still_file_waiting(const std::filesystem::path& path, const StillReadAsk& ask);
std::optional<ByteBuffer> read_still_file(const std::filesystem::path& path, uint64_t limit,
                                          const StillReadTiming& timing = {}, FileChangeStamp* read = nullptr);

}  // namespace vel
