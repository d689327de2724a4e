#include "store/leftover_temporaries.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>

#include "core/bounded_read.h"
#include "store/store_names.h"
#include "store/store_tree.h"

namespace vel {

namespace {

bool before(timespec a, timespec b) { return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec; }

// Whether the /proc mounted here counts in this process's pid namespace.
bool proc_is_ours() {
  char self[32] = {};
  const ssize_t n = ::readlink("/proc/self", self, sizeof self - 1);
  return n > 0 && std::string_view(self, static_cast<size_t>(n)) == std::to_string(::getpid());
}

// kill() and /proc/<n> answer for a thread's id as they do for a process's:
// the number names a process only when it leads its thread group. False
// only when /proc says so; when it cannot tell, kill()'s answer stands.
bool leads_thread_group(pid_t n) {
  if (!proc_is_ours()) return true;
  const std::string path = "/proc/" + std::to_string(n) + "/status";
  auto file = open_regular_file(path, false);
  if (!file.ok()) return true;
  // /proc gives a status file's size as 0: what it holds is read, bounded
  // (the line sought comes within the first few).
  char buf[1024];
  size_t got = 0;
  for (ssize_t r = 0; got < sizeof buf; got += static_cast<size_t>(r)) {
    r = ::read(file.value().fd(), buf + got, sizeof buf - got);
    if (r < 0 && errno == EINTR) {
      r = 0;
    } else if (r <= 0) {
      break;
    }
  }
  const std::string_view status(buf, got);
  const size_t at = status.find("\nTgid:");
  if (at == std::string_view::npos) return true;
  const std::string_view rest = status.substr(at + 7);
  const size_t digits = rest.find_first_not_of(" \t");
  if (digits == std::string_view::npos) return true;
  pid_t tgid = 0;
  const std::from_chars_result parsed = std::from_chars(rest.data() + digits, rest.data() + rest.size(), tgid);
  return parsed.ec != std::errc() || tgid == n;
}

}  // namespace

bool temporary_writer_live(pid_t writer, timespec written, timespec own_since) {
  if (writer <= 0) return false;  // kill() would read it as a process group
  if (writer == ::getpid()) return !before(written, own_since);
  // EPERM: the pid is another user's process now; the store's writers run
  // as this user and never change it.
  return ::kill(writer, 0) == 0 && leads_thread_group(writer);
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
