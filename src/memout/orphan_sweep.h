// Segments left by a host that died. The consumer removes a segment's name
// when it drops its output, and the producer when it attaches; a host killed
// in between leaves the name behind, with every page of the segment reserved
// (the pages are allocated up front). Nobody else will ever remove it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vel {

// The creating process of a segment from its file name as the system lists
// it ("vnx_" + 8 lower-case hex digits + "_" + 16 lower-case hex digits,
// without the leading "/"). Nothing for any other name, and for a pid of 0
// or beyond the positive pid range (which kill() would read as a group).
std::optional<pid_t> segment_creator_pid(std::string_view file_name);

// True only when the process is certainly gone (kill(pid, 0) says ESRCH);
// a process of another user, or an unanswered question, counts as alive.
bool process_is_gone(pid_t pid);

struct SweptSegment {
  std::string mapping_name;  // with its leading "/"
  pid_t creator = 0;
  uint64_t bytes = 0;
  int error = 0;  // errno of a removal that failed; 0 when removed
};

// Removes from `shm_dir` (where the system keeps shared-memory names,
// "/dev/shm") every segment of our naming that is a regular file owned by
// `owner` and whose creator `creator_gone` says has ended. The owner and the
// pid decide, never the name alone. Returns what it removed or tried to;
// an unreadable folder gives nothing.
std::vector<SweptSegment> sweep_orphan_segments(const std::string& shm_dir, uid_t owner,
                                                const std::function<bool(pid_t)>& creator_gone);

struct SweptManifest {
  std::string path;
  pid_t creator = 0;
  int error = 0;  // errno of a removal that failed; 0 when removed
};

// Manifests of such segments, in the pool folder's job folders
// ("job_" + host pid + "_…", then "w" + N): a regular file owned by `owner`
// whose name ends in ".vnx-manifest.json", that parses, whose segment name
// carries the job folder's pid, and whose creator `creator_gone` says has
// ended. Symbolic links are never followed. A missing folder gives nothing.
std::vector<SweptManifest> sweep_orphan_manifests(const std::string& pool_dir, uid_t owner,
                                                  const std::function<bool(pid_t)>& creator_gone);

}  // namespace vel
