// Folders walked by descriptor: each step an openat from the folder above,
// so that a name swapped for a link between two steps is never followed.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <optional>
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
  // A second descriptor of the same open folder (not inherited by a child);
  // not ok when this one is not, or when none is left.
  DirFd duplicate() const;

 private:
  int fd_ = -1;
};

// The folder at `path`, a link at `path` itself followed.
DirFd open_dir_followed(const std::filesystem::path& path);
// The folder `name` inside `parent`; a link or anything but a folder fails.
DirFd open_dir_at(int parent, std::string_view name);

// The names in a folder but "." and "..", in the order the system lists them.
std::vector<std::string> folder_names(int dir);

// The status of `name` in `parent` itself, a link not followed; none when it
// cannot be read (errno says why).
std::optional<struct stat> status_at(int parent, std::string_view name);

// Whether two statuses are of one file.
inline bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A folder of this user that no one else may write into.
bool is_private_folder(const struct stat& st);

// A name the plug-in writes in place of what stood there (the pool's lock
// note, the log moved aside) takes the place only of a file it could have
// made: a regular file of this user with no other name. Anything else is
// someone else's and stays as it is. Empty for such a file, else what it is
// ("lien symbolique", "dossier", "FIFO", "fichier spécial", "fichier de
// l'utilisateur N", "lien physique (N noms)"), for the line that says so.
std::string foreign_file_kind(const struct stat& st);

// Makes the folder `name` in `parent` (mode 0700) and opens it, checked to
// be the folder just made. A name already there is never taken over: it
// fails with EEXIST whatever it is. Not ok on failure, errno set.
DirFd make_dir_at(int parent, std::string_view name);

// Removes `name` in the open folder `parent`: unlinked when it is anything
// but a folder (a link goes, its target stays); a folder is opened without
// following a link, emptied the same way and removed. Folders nested deeper
// than `depth_left` levels stay. True when the name is gone.
bool remove_tree_at(int parent, const std::string& name, int depth_left = 16);

// Empties the open folder `dir` the same way, every entry but those `keep`
// answers true for.
template <typename Keep>
void empty_folder(int dir, Keep keep, int depth_left = 16) {
  for (const std::string& name : folder_names(dir))
    if (!keep(name)) (void)remove_tree_at(dir, name, depth_left - 1);
}

// Whether `path`, as another process would open it now (links followed),
// leads to the open file `fd`: the check before a path is handed to a child
// that writes by path.
bool path_leads_to(const std::filesystem::path& path, int fd);

}  // namespace vel
