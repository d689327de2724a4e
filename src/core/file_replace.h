// Whole-file writes that a reader (another thread, another process, the
// next session) never sees half done: the bytes go to a temporary name
// beside the file, then a rename puts them in place. This is the one way
// the plug-in writes a file it replaces: the temporary is created afresh
// under a name unique to this process and call (O_EXCL, O_NOFOLLOW), so a
// file or symbolic link planted at a predictable name is never written
// through, and two writers never share a temporary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "core/result.h"

namespace vel {

// Writes all `len` bytes to `fd`, going on after interruptions and short
// writes. False on failure, errno telling why (EIO when nothing could be written).
bool write_all(int fd, const void* data, size_t len);
inline bool write_all(int fd, std::span<const uint8_t> bytes) { return write_all(fd, bytes.data(), bytes.size()); }

// "." + the file name + "." + pid + "-" + `serial` + ".tmp": where a write
// goes before its rename. Begins with "." and ends with ".tmp", so listings
// that look for a file's own extension pass it by.
std::string temporary_name_for(std::string_view file_name, uint64_t serial);

// Writes `parts`, one after the other, as the whole file `path` through a
// fresh temporary beside it, creating the folder. On failure the old file,
// if any, is intact and no temporary file is left. Never follows a symbolic
// link at the temporary's name; a link at `path` itself is replaced, not
// followed. `mode` is before the umask.
Status<> replace_file(const std::filesystem::path& path, std::span<const std::span<const uint8_t>> parts,
                      unsigned mode = 0666);
Status<> replace_file(const std::filesystem::path& path, std::initializer_list<std::span<const uint8_t>> parts,
                      unsigned mode = 0666);
Status<> replace_file(const std::filesystem::path& path, std::span<const uint8_t> bytes, unsigned mode = 0666);
Status<> replace_file(const std::filesystem::path& path, std::string_view text, unsigned mode = 0666);

// The same for the entry `name` of the open folder `dir` (made already):
// the temporary and the rename are reached from `dir`, never through a path
// that may have come to name another folder.
Status<> replace_file_at(int dir, const std::string& name, std::string_view text, unsigned mode = 0666);

}  // namespace vel
