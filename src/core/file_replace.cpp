#include "core/file_replace.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <system_error>

namespace vel {

namespace {

// Two threads of one process may replace the same file at once (the
// options and the templates' marker are written from more than one place).
std::filesystem::path temporary_beside(const std::filesystem::path& path) {
  static std::atomic<uint64_t> counter{0};
  std::filesystem::path tmp = path.parent_path();
  tmp /= "." + path.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
  return tmp;
}

}  // namespace

bool write_all(int fd, const void* data, size_t len) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (len > 0) {
    const ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

Status<> replace_file(const std::filesystem::path& path, std::span<const uint8_t> bytes, unsigned mode) {
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  const std::filesystem::path tmp = temporary_beside(path);
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                        static_cast<mode_t>(mode));
  if (fd < 0) return err("cannot create " + tmp.string() + ": " + std::generic_category().message(errno));
  const bool wrote = write_all(fd, bytes);
  const bool closed = ::close(fd) == 0;
  if (!wrote || !closed) {
    ::unlink(tmp.c_str());
    return err("cannot write " + tmp.string());
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return err("cannot rename to " + path.string());
  }
  return ok_unit();
}

Status<> replace_file(const std::filesystem::path& path, std::string_view text, unsigned mode) {
  return replace_file(path, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()), mode);
}

}  // namespace vel
