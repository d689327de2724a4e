// Whole-file writes that a reader (another thread, another process, the
// next session) never sees half done: the bytes go to a temporary name
// beside the file, then a rename puts them in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "core/result.h"

namespace vel {

// Writes all `len` bytes to `fd`, going on after interruptions and short
// writes. False on failure, errno telling why (EIO when nothing could be written).
bool write_all(int fd, const void* data, size_t len);
inline bool write_all(int fd, std::span<const uint8_t> bytes) { return write_all(fd, bytes.data(), bytes.size()); }

// Writes `bytes` to `path` through a temporary name unique to this process
// and call, creating the folder. On failure the old file, if any, is intact
// and no temporary file is left. `mode` is before the umask.
Status<> replace_file(const std::filesystem::path& path, std::span<const uint8_t> bytes, unsigned mode = 0666);
Status<> replace_file(const std::filesystem::path& path, std::string_view text, unsigned mode = 0666);

}  // namespace vel
