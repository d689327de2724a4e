#include "core/dir_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace vel {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

}  // namespace

DirFd& DirFd::operator=(DirFd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

DirFd::~DirFd() {
  if (fd_ >= 0) ::close(fd_);
}

DirFd open_dir_followed(const std::filesystem::path& path) { return DirFd(::open(path.c_str(), kDirFlags)); }

DirFd open_dir_at(int parent, std::string_view name) {
  const std::string n(name);
  return DirFd(::openat(parent, n.c_str(), kDirFlags | O_NOFOLLOW));
}

std::vector<std::string> folder_names(int dir) {
  std::vector<std::string> names;
  // fdopendir takes the descriptor it is given; the caller keeps its own.
  const int own = ::openat(dir, ".", kDirFlags);
  if (own < 0) return names;
  DIR* d = ::fdopendir(own);
  if (d == nullptr) {
    ::close(own);
    return names;
  }
  while (const dirent* e = ::readdir(d)) {
    const std::string_view n = e->d_name;
    if (n != "." && n != "..") names.emplace_back(n);
  }
  ::closedir(d);
  return names;
}

}  // namespace vel
