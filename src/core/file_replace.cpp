#include "core/file_replace.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <system_error>

namespace vel {

namespace {

// Tries before giving up on finding a free temporary name: a name is taken
// only when something was left or planted there.
constexpr int kTemporaryNameTries = 16;

std::string errno_text(int e) { return std::generic_category().message(e); }

}  // namespace

std::string temporary_name_for(std::string_view file_name, uint64_t serial) {
  std::string name(1, '.');
  name.append(file_name);
  name.append(1, '.');
  name.append(std::to_string(::getpid()));
  name.append(1, '-');
  name.append(std::to_string(serial));
  name.append(".tmp");
  return name;
}

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

Status<> replace_file(const std::filesystem::path& path, std::span<const std::span<const uint8_t>> parts,
                      unsigned mode) {
  // Two threads of one process may replace the same file at once (the
  // options, the templates' marker, a frame written by two hosts).
  static std::atomic<uint64_t> serial{0};
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  const std::string file_name = path.filename().string();
  std::filesystem::path tmp;
  int fd = -1;
  for (int attempt = 0; attempt < kTemporaryNameTries && fd < 0; ++attempt) {
    tmp = path.parent_path() / temporary_name_for(file_name, serial.fetch_add(1, std::memory_order_relaxed));
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                static_cast<mode_t>(mode));
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return err("cannot create " + tmp.string() + ": " + errno_text(errno));
  bool wrote = true;
  for (std::span<const uint8_t> part : parts) wrote = wrote && write_all(fd, part);
  const bool closed = ::close(fd) == 0;
  if (!wrote || !closed) {
    ::unlink(tmp.c_str());
    return err("cannot write " + tmp.string());
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int e = errno;
    ::unlink(tmp.c_str());
    return err("cannot rename to " + path.string() + ": " + errno_text(e));
  }
  return ok_unit();
}

Status<> replace_file(const std::filesystem::path& path, std::initializer_list<std::span<const uint8_t>> parts,
                      unsigned mode) {
  return replace_file(path, std::span<const std::span<const uint8_t>>(parts.begin(), parts.size()), mode);
}

Status<> replace_file(const std::filesystem::path& path, std::span<const uint8_t> bytes, unsigned mode) {
  return replace_file(path, {bytes}, mode);
}

Status<> replace_file_at(int dir, const std::string& name, std::string_view text, unsigned mode) {
  static std::atomic<uint64_t> serial{0};
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < kTemporaryNameTries && fd < 0; ++attempt) {
    tmp = temporary_name_for(name, serial.fetch_add(1, std::memory_order_relaxed));
    fd = ::openat(dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                  static_cast<mode_t>(mode));
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return err("cannot create " + tmp + ": " + errno_text(errno));
  const bool wrote = write_all(fd, text.data(), text.size());
  const bool closed = ::close(fd) == 0;
  if (!wrote || !closed) {
    ::unlinkat(dir, tmp.c_str(), 0);
    return err("cannot write " + tmp);
  }
  if (::renameat(dir, tmp.c_str(), dir, name.c_str()) != 0) {
    const int e = errno;
    ::unlinkat(dir, tmp.c_str(), 0);
    return err("cannot rename to " + name + ": " + errno_text(e));
  }
  return ok_unit();
}

Status<> replace_file(const std::filesystem::path& path, std::string_view text, unsigned mode) {
  return replace_file(path, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()), mode);
}

}  // namespace vel
