// Another host's hold on its pool folder, played by a child of the test: it
// takes an exclusive flock on the folder, writes its pid into the folder's
// "host.lock" as a host does, and keeps the lock until the test ends it,
// killed and reaped by its pid.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

namespace vel::testing {

class LockHolder {
 public:
  // Returns once the child holds the lock, or has failed to (holding()
  // false).
  explicit LockHolder(const std::filesystem::path& pool_dir) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    const std::string folder = pool_dir.string();
    const std::string note = (pool_dir / "host.lock").string();
    pid_ = ::fork();
    if (pid_ == 0) {
      // Only calls safe after a fork of a threaded process from here on.
      const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir < 0 || ::flock(dir, LOCK_EX | LOCK_NB) != 0) ::_exit(1);
      const int fd = ::open(note.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (fd < 0) ::_exit(1);
      char digits[16];
      char text[17];
      int n = 0;
      for (pid_t p = ::getpid(); p > 0 && n < 16; p /= 10) digits[n++] = static_cast<char>('0' + p % 10);
      for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
      text[n] = '\n';
      if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text, static_cast<size_t>(n + 1), 0) != n + 1) ::_exit(1);
      const char held = 1;
      if (::write(ready[1], &held, 1) != 1) ::_exit(1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char held = 0;
    ssize_t got;
    do {
      got = ::read(ready[0], &held, 1);
    } while (got < 0 && errno == EINTR);
    ::close(ready[0]);
    holding_ = pid_ > 0 && got == 1;
  }
  ~LockHolder() { end(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  pid_t pid() const { return pid_; }
  bool holding() const { return holding_; }

  // Kills the child and waits for it: the lock is free once this returns.
  void end() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    holding_ = false;
  }

 private:
  pid_t pid_ = -1;
  bool holding_ = false;
};

}  // namespace vel::testing
