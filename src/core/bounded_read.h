// Reading a file the plug-in finds at a path it does not control: the home
// folder, the caches, a worker's output. Whatever sits at the path (a FIFO,
// a device, a folder, a link to /dev/zero) must neither stall the caller nor
// feed it without end, so every read of such a file goes through here: the
// open never blocks, the file must be a regular one once open (a link to a
// regular file is fine: settings are often kept in linked folders), and no
// more than the caller's limit is ever held.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/result.h"

namespace vel {

enum class FileRefusal {
  Missing,     // nothing at the path
  NotRegular,  // a FIFO, a device, a socket, a folder, or a link where none is wanted
  TooLarge,    // over the caller's limit, or grew past it while read
  Failed,      // any other error of the system
};

struct FileReadError {
  FileRefusal kind = FileRefusal::Failed;
  std::string text;  // the path and why, for a log line
  int os_error = 0;  // the errno behind Missing and Failed, when one was
};

// An open regular file, closed with the object.
class RegularFile {
 public:
  RegularFile(int fd, const struct stat& st) : fd_(fd), st_(st) {}
  RegularFile(RegularFile&& o) noexcept : fd_(o.fd_), st_(o.st_) { o.fd_ = -1; }
  RegularFile& operator=(RegularFile&& o) noexcept;
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;
  ~RegularFile();

  int fd() const { return fd_; }
  // The status taken once open: what the descriptor names, not the path.
  const struct stat& status() const { return st_; }
  uint64_t size() const { return st_.st_size > 0 ? static_cast<uint64_t>(st_.st_size) : 0; }
  // Hands the descriptor over; the object no longer closes it.
  int release();

 private:
  int fd_ = -1;
  struct stat st_ {};
};

// Opens `path` for reading without blocking, without making it the process's
// terminal and closed across exec, then refuses anything but a regular file.
// A symbolic link at `path` itself is followed unless `follow_link` is false.
Result<RegularFile, FileReadError> open_regular_file(const std::filesystem::path& path, bool follow_link = true);
// The same for the entry `name` of the open folder `dir`, never through a
// link; `shown` names it in the error text.
Result<RegularFile, FileReadError> open_regular_file_at(int dir, const std::string& name,
                                                        const std::filesystem::path& shown);

// The whole of an open regular file (from where it stands, normally its
// start) in `buffer`, as read_file_limited below; for a caller that sizes
// its buffer from the status first.
Status<FileReadError> read_open_file(const RegularFile& file, const std::filesystem::path& path, uint64_t limit,
                                     std::vector<uint8_t>& buffer);

// The whole regular file at `path` in `buffer` (resized to the bytes read,
// its capacity reused; new bytes zero), when it holds at most `limit` bytes.
// A file that grows or shrinks during the read is refused.
Status<FileReadError> read_file_limited(const std::filesystem::path& path, uint64_t limit,
                                        std::vector<uint8_t>& buffer);

// The same, as text (bytes as they are; no encoding is checked).
Result<std::string, FileReadError> read_text_limited(const std::filesystem::path& path, uint64_t limit);

}  // namespace vel
