// What a crash leaves in a stream folder: the temporary of a write that never
// reached its rename. Its name carries the writer's pid and a serial, so no
// later write of the same frame replaces it, and the size sweep never takes
// the stream in use; opening a stream clears the ones whose writer is gone.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <filesystem>
#include <functional>

namespace vel {

namespace fs = std::filesystem;

// Whether `writer` may still be writing a temporary last modified at
// `written`: another process of this user that exists now, or this process
// when the temporary is not older than `own_since` (the moment this
// process's store began; an older one under this pid was left by an earlier
// process, as a fresh pid namespace hands the same pids out again). A pid
// held by another user's process is no writer of this user's store.
bool temporary_writer_live(pid_t writer, timespec written, timespec own_since);

// Removes from the stream folder `stream_dir` (root / key folder / stream,
// the root a link or not, no link inside it followed) every temporary of the
// store's own writes (temporary_writer, store_names.h) that is a regular file
// of this user and whose writer `writer_live` answers gone. Only the name is
// unlinked and nothing is opened, so a link there leads nowhere and a FIFO
// never holds the caller; anything else in the folder stays. Answers how
// many went.
size_t remove_leftover_temporaries(const fs::path& stream_dir,
                                   const std::function<bool(pid_t writer, timespec written)>& writer_live);

}  // namespace vel
