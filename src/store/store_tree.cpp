#include "store/store_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "store/store_names.h"

namespace vel {

bool is_store_stream_at(int key_dir, std::string_view name) {
  if (!is_stream_dir_name(name)) return false;
  DirFd stream = open_dir_at(key_dir, name);
  if (!stream.ok()) return false;
  struct stat st {};
  return ::fstatat(stream.get(), kStreamOwnerFileName.data(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

void for_each_store_stream(int root, const std::function<void(int key_dir, const std::string& key,
                                                               const std::string& stream)>& visit) {
  for (const std::string& key : folder_names(root)) {
    if (!is_key_dir_name(key)) continue;
    DirFd key_dir = open_dir_at(root, key);
    if (!key_dir.ok()) continue;
    for (const std::string& stream : folder_names(key_dir.get())) {
      if (is_store_stream_at(key_dir.get(), stream)) visit(key_dir.get(), key, stream);
    }
  }
}

bool remove_store_folder(int parent, std::string_view name) {
  {
    DirFd dir = open_dir_at(parent, name);
    if (!dir.ok()) return false;
    for (const std::string& entry : folder_names(dir.get())) {
      struct stat st {};
      if (!is_store_file_name(entry) || ::fstatat(dir.get(), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
          S_ISDIR(st.st_mode)) {
        continue;
      }
      (void)::unlinkat(dir.get(), entry.c_str(), 0);
    }
  }
  const std::string n(name);
  return ::unlinkat(parent, n.c_str(), AT_REMOVEDIR) == 0;
}

bool clear_non_folder_at(int parent, std::string_view name) {
  const std::string n(name);
  struct stat st {};
  if (::fstatat(parent, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) return true;
  return ::unlinkat(parent, n.c_str(), 0) == 0 || errno == ENOENT;
}

}  // namespace vel
