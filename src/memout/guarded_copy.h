// A copy out of a shared mapping whose file another process may shrink at
// any moment. Touching a page past the file's end raises SIGBUS; during this
// copy, on this thread and inside its source range, the fault ends the copy
// instead of the process. Every other SIGBUS goes where it went before: to
// the handler that was installed, or to the default action.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vel {

enum class GuardedCopy {
  Copied,
  Faulted,      // the source lost pages under the copy; `dst` holds a part
  Unavailable,  // no guard could be armed (another SIGBUS handler took over)
};

// Copies `len` bytes from `src` (inside a shared mapping) to `dst`, which
// must be ordinary memory of this process. Unavailable copies nothing: the
// caller reads another way.
GuardedCopy copy_from_shared_mapping(uint8_t* dst, const uint8_t* src, size_t len);

}  // namespace vel
