#include "core/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <mutex>
#include <system_error>

#include "core/dir_fd.h"
#include "core/file_replace.h"
#include "core/machine.h"
#include "core/paths.h"
#include "core/switches.h"

namespace vel {
namespace {

struct LogState {
  std::mutex mu;
  int fd = -1;
  bool tried = false;
  LogRole role = LogRole::Host;
  uint64_t rotate_bytes = kLogRotateBytes;
  std::filesystem::path path;
  bool cut_said = false;  // the log was cut in place of its rotation, and said why
};

// Never destroyed: detached threads may log while the process exits.
LogState& state() {
  static LogState& s = *new LogState;
  return s;
}

// The log is appended to, so it cannot go through a temporary and a rename
// like every other file of the plug-in; it refuses a link at its name instead,
// symbolic or hard: a file with a second name is someone else's file too, and
// the lines would grow it. The open never waits (a FIFO there would hold the
// host at load) and only a regular file is kept: a FIFO with a reader, a
// device or a socket is no log.
int open_append(const std::filesystem::path& p) {
  const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    ::close(fd);
    return -1;
  }
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) (void)::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}

// Caller holds the mutex. Only the host rotates; a worker keeps appending to
// whatever file its descriptor names, so no line is lost across processes.
// The file moved aside replaces only a file the host could have moved there
// itself: a folder, a FIFO, a link or another user's file at that name is
// someone else's and stays. The log is then cut instead, so that it stays
// under its size whatever stands there, and the first cut of the process
// says why, as the first line of what follows.
void rotate_if_due(LogState& s) {
  if (s.role != LogRole::Host || s.fd < 0) return;
  struct stat st {};
  if (fstat(s.fd, &st) != 0 || static_cast<uint64_t>(st.st_size) <= s.rotate_bytes) return;
  std::filesystem::path old = s.path;
  old += ".old";
  struct stat at_old {};
  std::string foreign;
  if (::lstat(old.c_str(), &at_old) == 0) foreign = foreign_file_kind(at_old);
  if (foreign.empty()) {
    if (::rename(s.path.c_str(), old.c_str()) == 0) {
      int fd = open_append(s.path);
      if (fd < 0) return;  // keep writing to the moved file rather than lose lines
      ::close(s.fd);
      s.fd = fd;
      return;
    }
    foreign = std::generic_category().message(errno);
  }
  if (::ftruncate(s.fd, 0) != 0 || s.cut_said) return;
  s.cut_said = true;
  const std::string line = format_log_line(unix_time_ms(), "ERROR",
                                           "log: rotation impossible vers " + old.string() + " (" + foreign +
                                               ", laissé tel quel) : le journal est vidé à la place");
  (void)write_all(s.fd, line.data(), line.size());
}

bool open_locked(LogState& s, const std::filesystem::path& path, LogRole role, uint64_t rotate_bytes) {
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  int fd = open_append(path);
  if (fd < 0) return false;
  if (s.fd >= 0) ::close(s.fd);
  s.fd = fd;
  s.role = role;
  s.rotate_bytes = rotate_bytes;
  s.path = path;
  s.cut_said = false;
  rotate_if_due(s);
  return true;
}

}  // namespace

std::string format_log_line(uint64_t unix_ms, std::string_view level, std::string_view message) {
  std::string line;
  line.reserve(32 + level.size() + message.size());
  line += '[';
  line += std::to_string(unix_ms);
  line += "] ";
  line += level;
  line += ": ";
  line += message;
  line += '\n';
  return line;
}

bool open_log_file(LogRole role) {
  LogState& s = state();
  std::lock_guard lock(s.mu);
  if (s.tried) return s.fd >= 0;
  s.tried = true;
  auto path = log_file_path();
  if (!path) return false;
  return open_locked(s, *path, role, kLogRotateBytes);
}

bool open_log_file_at(const std::filesystem::path& path, LogRole role, uint64_t rotate_bytes) {
  LogState& s = state();
  std::lock_guard lock(s.mu);
  s.tried = true;
  return open_locked(s, path, role, rotate_bytes);
}

void close_log_file() {
  LogState& s = state();
  std::lock_guard lock(s.mu);
  if (s.fd >= 0) ::close(s.fd);
  s.fd = -1;
}

bool log_file_open() {
  LogState& s = state();
  std::lock_guard lock(s.mu);
  return s.fd >= 0;
}

void log_line(std::string_view level, std::string_view message) {
  try {
    LogState& s = state();
    std::string line = format_log_line(unix_time_ms(), level, message);
    std::lock_guard lock(s.mu);
    if (s.fd < 0) return;
    rotate_if_due(s);
    (void)write_all(s.fd, line.data(), line.size());
  } catch (...) {
    // Logging never fails towards the caller.
  }
}

void perf_log(std::string_view record) {
  if (perf_enabled()) log_line("PERF", record);
}

void system_log(std::string_view level, std::string_view message) {
  int prio = level == "ERROR" ? LOG_ERR : LOG_INFO;
  syslog(prio, "velocinta %.*s: %.*s", static_cast<int>(level.size()), level.data(), static_cast<int>(message.size()),
         message.data());
}

}  // namespace vel
