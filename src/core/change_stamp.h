// What a file's status says about whether its bytes changed: another process
// that writes into a file, cuts it or puts another file in its place moves at
// least one of these. Two stamps taken around a read that are equal say the
// read saw one state of the file, within what the file system's timestamps
// can tell (see the callers for what a timestamp tick hides).
#pragma once

#include <sys/stat.h>

#include <cstdint>

namespace vel {

struct FileChangeStamp {
  uint64_t dev = 0;
  uint64_t ino = 0;
  int64_t size = 0;
  int64_t mtime_s = 0, mtime_ns = 0;
  int64_t ctime_s = 0, ctime_ns = 0;

  friend bool operator==(const FileChangeStamp&, const FileChangeStamp&) = default;
};

inline FileChangeStamp change_stamp(const struct stat& st) {
  return FileChangeStamp{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size),
                   static_cast<int64_t>(st.st_mtim.tv_sec),  static_cast<int64_t>(st.st_mtim.tv_nsec),
                   static_cast<int64_t>(st.st_ctim.tv_sec),  static_cast<int64_t>(st.st_ctim.tv_nsec)};
}

// The same file (device and inode), whatever its contents did.
inline bool same_file(const FileChangeStamp& a, const FileChangeStamp& b) { return a.dev == b.dev && a.ino == b.ino; }

}  // namespace vel
