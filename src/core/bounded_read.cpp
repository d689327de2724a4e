#include "core/bounded_read.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <system_error>

namespace vel {

namespace {

Err<FileReadError> refusal(FileRefusal kind, const std::filesystem::path& path, const std::string& why, int e = 0) {
  return Err<FileReadError>{FileReadError{kind, path.string() + ": " + why, e}};
}

Err<FileReadError> os_refusal(const std::filesystem::path& path, int e) {
  const FileRefusal kind = e == ENOENT || e == ENOTDIR ? FileRefusal::Missing
                           : e == ELOOP || e == ENXIO  ? FileRefusal::NotRegular
                                                       : FileRefusal::Failed;
  return refusal(kind, path, std::generic_category().message(e), e);
}

// Reads exactly the file's size into `out`, then proves the end is reached.
template <class Buffer>
Status<FileReadError> read_whole(const RegularFile& file, const std::filesystem::path& path, uint64_t limit,
                                 Buffer& out) {
  const uint64_t size = file.size();
  if (size > limit) return refusal(FileRefusal::TooLarge, path, "over " + std::to_string(limit) + " bytes");
  try {
    out.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return refusal(FileRefusal::Failed, path, "out of memory");
  }
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::read(file.fd(), out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return os_refusal(path, errno);
    if (n == 0) return refusal(FileRefusal::Failed, path, "shrank while read");
    done += static_cast<size_t>(n);
  }
  for (;;) {
    char extra = 0;
    const ssize_t n = ::read(file.fd(), &extra, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return os_refusal(path, errno);
    if (n > 0) return refusal(FileRefusal::TooLarge, path, "grew while read");
    return ok_unit();
  }
}

template <class Buffer>
Status<FileReadError> open_and_read(const std::filesystem::path& path, uint64_t limit, Buffer& out) {
  Result<RegularFile, FileReadError> file = open_regular_file(path);
  if (!file) return Err<FileReadError>{file.error()};
  return read_whole(*file, path, limit, out);
}

}  // namespace

RegularFile& RegularFile::operator=(RegularFile&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.fd_;
    st_ = o.st_;
    o.fd_ = -1;
  }
  return *this;
}

RegularFile::~RegularFile() {
  if (fd_ >= 0) ::close(fd_);
}

int RegularFile::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

namespace {

// Takes the descriptor of an open that never blocked and keeps it only for a
// regular file.
Result<RegularFile, FileReadError> regular_file_of(int fd, const std::filesystem::path& path) {
  if (fd < 0) return os_refusal(path, errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    return os_refusal(path, e);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return refusal(FileRefusal::NotRegular, path, "not a regular file");
  }
  // Only the open had to be kept from waiting; reads of a regular file go on
  // as usual (some file systems honour the flag and would answer EAGAIN).
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) (void)::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return RegularFile(fd, st);
}

constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

}  // namespace

Result<RegularFile, FileReadError> open_regular_file(const std::filesystem::path& path, bool follow_link) {
  return regular_file_of(::open(path.c_str(), follow_link ? kReadFlags : kReadFlags | O_NOFOLLOW), path);
}

Result<RegularFile, FileReadError> open_regular_file_at(int dir, const std::string& name,
                                                        const std::filesystem::path& shown) {
  return regular_file_of(::openat(dir, name.c_str(), kReadFlags | O_NOFOLLOW), shown);
}

Status<FileReadError> read_file_limited(const std::filesystem::path& path, uint64_t limit,
                                        std::vector<uint8_t>& buffer) {
  return open_and_read(path, limit, buffer);
}

Status<FileReadError> read_open_file(const RegularFile& file, const std::filesystem::path& path, uint64_t limit,
                                     std::vector<uint8_t>& buffer) {
  return read_whole(file, path, limit, buffer);
}

Result<std::string, FileReadError> read_text_limited(const std::filesystem::path& path, uint64_t limit) {
  std::string text;
  if (Status<FileReadError> st = open_and_read(path, limit, text); !st) return Err<FileReadError>{st.error()};
  return text;
}

}  // namespace vel
