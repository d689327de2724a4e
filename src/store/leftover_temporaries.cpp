#include "store/leftover_temporaries.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "store/store_names.h"
#include "store/store_tree.h"

namespace vel {

namespace {

bool before(timespec a, timespec b) { return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec; }

}  // namespace

bool temporary_writer_live(pid_t writer, timespec written, timespec own_since) {
  if (writer <= 0) return false;  // kill() would read it as a process group
  if (writer == ::getpid()) return !before(written, own_since);
  // EPERM: the pid is another user's process now; the store's writers run
  // as this user and never change it.
  return ::kill(writer, 0) == 0;
}

size_t remove_leftover_temporaries(const fs::path& stream_dir,
                                   const std::function<bool(pid_t writer, timespec written)>& writer_live) {
  const fs::path key = stream_dir.parent_path();
  DirFd root = open_dir_followed(key.parent_path());
  if (!root.ok()) return 0;
  DirFd key_dir = open_dir_at(root.get(), key.filename().native());
  if (!key_dir.ok()) return 0;
  DirFd dir = open_dir_at(key_dir.get(), stream_dir.filename().native());
  if (!dir.ok()) return 0;
  size_t removed = 0;
  for (const std::string& name : folder_names(dir.get())) {
    const std::optional<int32_t> writer = temporary_writer(name);
    if (!writer) continue;
    struct stat st {};
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    // The store writes its temporaries as regular files of this user, created
    // afresh; a link, a FIFO or another user's file of that name is not one.
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) continue;
    if (writer_live(static_cast<pid_t>(*writer), st.st_mtim)) continue;
    if (::unlinkat(dir.get(), name.c_str(), 0) == 0) ++removed;
  }
  return removed;
}

}  // namespace vel
