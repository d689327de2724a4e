#include "frame_rewriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace sim {

namespace {

bool write_in_chunks(int fd, const std::vector<uint8_t>& bytes, std::chrono::microseconds pause, std::string& why) {
  for (size_t at = 0; at < bytes.size(); at += kRewriteChunkBytes) {
    if (at > 0) std::this_thread::sleep_for(pause);
    const size_t n = std::min(kRewriteChunkBytes, bytes.size() - at);
    size_t done = 0;
    while (done < n) {
      const ssize_t w = ::pwrite(fd, bytes.data() + at + done, n - done, static_cast<off_t>(at + done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        why = std::strerror(errno);
        return false;
      }
      done += static_cast<size_t>(w);
    }
  }
  return true;
}

}  // namespace

bool rewrite_frame_file(const std::string& path, const std::vector<uint8_t>& other, const std::vector<uint8_t>& own,
                        std::chrono::microseconds pause, std::string& why) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    why = "cannot open " + path + " again: " + std::strerror(errno);
    return false;
  }
  bool ok = write_in_chunks(fd, other, pause, why);
  if (ok) {
    std::this_thread::sleep_for(pause);
    ok = write_in_chunks(fd, own, pause, why);
  }
  // Another frame's file may be longer (run-length or PackBits data).
  if (ok && ::ftruncate(fd, static_cast<off_t>(own.size())) != 0) {
    why = std::strerror(errno);
    ok = false;
  }
  ::close(fd);
  return ok;
}

}  // namespace sim
