// Folders walked by descriptor: each step an openat from the folder above,
// so that a name swapped for a link between two steps is never followed.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vel {

// A descriptor of an open folder, closed with the object.
class DirFd {
 public:
  DirFd() = default;
  explicit DirFd(int fd) : fd_(fd) {}
  DirFd(DirFd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  DirFd& operator=(DirFd&& o) noexcept;
  DirFd(const DirFd&) = delete;
  DirFd& operator=(const DirFd&) = delete;
  ~DirFd();
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The folder at `path`, a link at `path` itself followed.
DirFd open_dir_followed(const std::filesystem::path& path);
// The folder `name` inside `parent`; a link or anything but a folder fails.
DirFd open_dir_at(int parent, std::string_view name);

// The names in a folder but "." and "..", in the order the system lists them.
std::vector<std::string> folder_names(int dir);

}  // namespace vel
