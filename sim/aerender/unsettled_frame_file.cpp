#include "unsettled_frame_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

namespace sim {

namespace {

bool write_all(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

bool write_frame_file_late(const std::string& path, const std::vector<uint8_t>& bytes,
                           std::chrono::milliseconds delay, std::string& why) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    why = path + ": " + std::strerror(errno);
    return false;
  }
  std::this_thread::sleep_for(delay);
  const bool ok = write_all(fd, bytes);
  if (!ok) why = path + ": " + std::strerror(errno);
  ::close(fd);
  return ok;
}

bool keep_rewriting(const std::string& path, std::vector<uint8_t> bytes, std::string& why) {
  for (size_t i = 0; i < 4 && i < bytes.size(); ++i) bytes[i] ^= 0xFF;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    why = path + ": " + std::strerror(errno);
    return false;
  }
  try {
    // Ends with the process: the worker's exit takes it down mid-sleep.
    std::thread([fd, bytes = std::move(bytes)] {
      for (;;) {
        std::this_thread::sleep_for(kChurnPause);
        (void)write_all(fd, bytes);
      }
    }).detach();
  } catch (const std::system_error& e) {
    ::close(fd);
    why = e.what();
    return false;
  }
  return true;
}

}  // namespace sim
