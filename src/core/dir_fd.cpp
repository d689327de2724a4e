#include "core/dir_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

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

DirFd DirFd::duplicate() const { return DirFd(fd_ >= 0 ? ::fcntl(fd_, F_DUPFD_CLOEXEC, 0) : -1); }

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

std::optional<struct stat> status_at(int parent, std::string_view name) {
  const std::string n(name);
  struct stat st{};
  if (::fstatat(parent, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return st;
}

bool is_private_folder(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string foreign_file_kind(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return "lien symbolique";
  if (S_ISDIR(st.st_mode)) return "dossier";
  if (S_ISFIFO(st.st_mode)) return "FIFO";
  if (!S_ISREG(st.st_mode)) return "fichier spécial";
  if (st.st_uid != ::geteuid()) return "fichier de l'utilisateur " + std::to_string(st.st_uid);
  if (st.st_nlink != 1) return "lien physique (" + std::to_string(st.st_nlink) + " noms)";
  return {};
}

DirFd make_dir_at(int parent, std::string_view name) {
  const std::string n(name);
  if (::mkdirat(parent, n.c_str(), 0700) != 0) return DirFd();
  DirFd dir = open_dir_at(parent, n);
  if (!dir.ok()) return dir;
  // Swapped between the make and the open: what is there now is not ours.
  struct stat st{};
  if (::fstat(dir.get(), &st) != 0 || !is_private_folder(st)) {
    errno = EEXIST;
    return DirFd();
  }
  return dir;
}

bool remove_tree_at(int parent, const std::string& name, int depth_left) {
  if (::unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  if (depth_left <= 0) return false;
  {
    const DirFd dir = open_dir_at(parent, name);
    if (!dir.ok()) return errno == ENOENT;
    for (const std::string& entry : folder_names(dir.get())) (void)remove_tree_at(dir.get(), entry, depth_left - 1);
  }
  return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

bool path_leads_to(const std::filesystem::path& path, int fd) {
  struct stat by_path{}, held{};
  return ::stat(path.c_str(), &by_path) == 0 && ::fstat(fd, &held) == 0 && same_file(by_path, held);
}

}  // namespace vel
