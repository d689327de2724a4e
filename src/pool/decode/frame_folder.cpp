#include "pool/decode/frame_folder.h"

#include <fcntl.h>
#include <unistd.h>

namespace vel {

namespace {

bool ours(const struct stat& st) { return st.st_uid == ::geteuid(); }

bool same_node(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

std::shared_ptr<const DirFd> open_job_folder(const std::string& path) {
  auto dir = std::make_shared<DirFd>(open_dir_at(AT_FDCWD, path));
  if (!dir->ok()) return nullptr;
  return dir;
}

std::shared_ptr<const FrameFolder> open_frame_folder(std::shared_ptr<const DirFd> job, std::string_view name,
                                                     FolderRefusal* why) {
  FolderRefusal ignored{};
  FolderRefusal& refusal = why ? *why : ignored;
  const std::string n(name);
  struct stat entry {};
  if (!job || ::fstatat(job->get(), n.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
    refusal = FolderRefusal::Failed;
    return nullptr;
  }
  if (S_ISLNK(entry.st_mode) || (S_ISDIR(entry.st_mode) && !ours(entry))) {
    refusal = FolderRefusal::Foreign;
    return nullptr;
  }
  if (!S_ISDIR(entry.st_mode)) {
    refusal = FolderRefusal::NotAFolder;
    return nullptr;
  }
  DirFd dir = open_dir_at(job->get(), n);
  struct stat opened {};
  if (!dir.ok() || ::fstat(dir.get(), &opened) != 0) {
    refusal = errno == ELOOP || errno == ENOTDIR ? FolderRefusal::Foreign : FolderRefusal::Failed;
    return nullptr;
  }
  // Swapped between the look and the open: whatever is there now is not
  // the folder that was looked at.
  if (!S_ISDIR(opened.st_mode) || !ours(opened) || !same_node(opened, entry)) {
    refusal = FolderRefusal::Foreign;
    return nullptr;
  }
  return std::make_shared<const FrameFolder>(FrameFolder{std::move(job), std::move(dir), n});
}

bool still_in_job_folder(const FrameFolder& folder) {
  struct stat named {}, held {};
  if (!folder.job || ::fstatat(folder.job->get(), folder.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (::fstat(folder.dir.get(), &held) != 0) return false;
  return S_ISDIR(named.st_mode) && same_node(named, held);
}

bool frame_file_status_ok(const struct stat& st) { return S_ISREG(st.st_mode) && ours(st) && st.st_nlink == 1; }

bool remove_frame_file(const FrameFolder& folder, const std::string& name, const FileChangeStamp& read) {
  struct stat now {};
  if (::fstatat(folder.dir.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!S_ISREG(now.st_mode) || !same_file(change_stamp(now), read)) return false;
  if (!still_in_job_folder(folder)) return false;
  // What remains unguarded: a name swapped between this look and the
  // unlink, which removes only an entry of the worker's own folder.
  return ::unlinkat(folder.dir.get(), name.c_str(), 0) == 0;
}

}  // namespace vel
