#include "file_rewrites.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace vel::testing {

namespace {

// Set before the read runs, used on the test's own thread only.
struct Armed {
  std::atomic<bool> on{false};
  dev_t dev = 0;
  ino_t ino = 0;
  std::filesystem::path path;
  FileRewrite rewrite;
  int done = 0;
};

Armed& armed() {
  static Armed& a = *new Armed;
  return a;
}

ssize_t raw_read(int fd, void* buf, size_t count) { return static_cast<ssize_t>(::syscall(SYS_read, fd, buf, count)); }

bool is_armed_file(int fd) {
  const Armed& a = armed();
  if (!a.on.load()) return false;
  struct stat st {};
  return ::syscall(SYS_fstat, fd, &st) == 0 && st.st_dev == a.dev && st.st_ino == a.ino;
}

bool write_all(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::syscall(SYS_pwrite64, fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void act() {
  Armed& a = armed();
  const FileRewrite& r = a.rewrite;
  if (r.act == FileRewrite::Act::InPlace) {
    const int fd = ::open(a.path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    if (write_all(fd, r.bytes)) ++a.done;
    ::close(fd);
    return;
  }
  const std::filesystem::path other = a.path.string() + ".other";
  const int fd = ::open(other.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const bool written = write_all(fd, r.bytes);
  ::close(fd);
  if (written && std::rename(other.c_str(), a.path.c_str()) == 0) ++a.done;
  // The renamed file is another inode: the worker acts on the file the host
  // opened, which the name no longer holds, no more.
  a.on.store(false);
}

}  // namespace

void arm_file_rewrite(const std::filesystem::path& path, FileRewrite rewrite) {
  Armed& a = armed();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return;
  a.dev = st.st_dev;
  a.ino = st.st_ino;
  a.path = path;
  a.rewrite = std::move(rewrite);
  a.done = 0;
  a.on.store(true);
}

void disarm_file_rewrite() { armed().on.store(false); }

int file_rewrites_done() { return armed().done; }

}  // namespace vel::testing

extern "C" ssize_t read(int fd, void* buf, size_t count) {
  using namespace vel::testing;
  if (count < 2 || !is_armed_file(fd) || armed().done >= armed().rewrite.reads) return raw_read(fd, buf, count);
  const ssize_t half = raw_read(fd, buf, count / 2);
  if (half > 0) act();
  return half;
}
