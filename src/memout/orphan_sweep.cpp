#include "memout/orphan_sweep.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>

#include "memout/manifest.h"

namespace vel {

namespace {

bool lower_hex(std::string_view digits, uint64_t& value) {
  value = 0;
  for (char c : digits) {
    uint64_t d = 0;
    if (c >= '0' && c <= '9') d = static_cast<uint64_t>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<uint64_t>(c - 'a' + 10);
    else return false;
    value = (value << 4) | d;
  }
  return true;
}

// The host pid of a job folder name: "job_" + decimal pid + "_" + ….
std::optional<pid_t> job_folder_pid(std::string_view name) {
  if (name.substr(0, 4) != "job_") return std::nullopt;
  const size_t end = name.find('_', 4);
  if (end == std::string_view::npos || end == 4 || end - 4 > 10) return std::nullopt;
  uint64_t pid = 0;
  for (char c : name.substr(4, end - 4)) {
    if (c < '0' || c > '9') return std::nullopt;
    pid = pid * 10 + static_cast<uint64_t>(c - '0');
  }
  if (pid == 0 || pid > static_cast<uint64_t>(INT_MAX)) return std::nullopt;
  return static_cast<pid_t>(pid);
}

bool is_real_directory(const std::filesystem::directory_entry& e) {
  std::error_code ec;
  return e.symlink_status(ec).type() == std::filesystem::file_type::directory && !ec;
}

bool ends_with(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

std::optional<pid_t> segment_creator_pid(std::string_view file_name) {
  // "vnx_" 4 + pid 8 + "_" 1 + nonce 16
  if (file_name.size() != 29 || file_name.substr(0, 4) != "vnx_" || file_name[12] != '_') return std::nullopt;
  uint64_t pid = 0;
  uint64_t nonce = 0;
  if (!lower_hex(file_name.substr(4, 8), pid) || !lower_hex(file_name.substr(13), nonce)) return std::nullopt;
  // kill() reads 0 and negative pids as process groups: never ask about them.
  if (pid == 0 || pid > static_cast<uint64_t>(INT_MAX)) return std::nullopt;
  return static_cast<pid_t>(pid);
}

bool process_is_gone(pid_t pid) {
  if (pid <= 0) return false;
  return kill(pid, 0) != 0 && errno == ESRCH;
}

std::vector<SweptSegment> sweep_orphan_segments(const std::string& shm_dir, uid_t owner,
                                                const std::function<bool(pid_t)>& creator_gone) {
  std::vector<SweptSegment> swept;
  const int dir_fd = open(shm_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return swept;
  DIR* dir = fdopendir(dir_fd);
  if (dir == nullptr) {
    close(dir_fd);
    return swept;
  }
  while (const dirent* entry = readdir(dir)) {
    const std::string_view file_name = entry->d_name;
    const std::optional<pid_t> creator = segment_creator_pid(file_name);
    if (!creator) continue;
    struct stat st {};
    if (fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_uid != owner) continue;
    if (!creator_gone(*creator)) continue;
    SweptSegment s;
    s.mapping_name = "/" + std::string(file_name);
    s.creator = *creator;
    s.bytes = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    if (unlinkat(dir_fd, entry->d_name, 0) != 0) {
      if (errno == ENOENT) continue;  // removed by someone else meanwhile
      s.error = errno;
    }
    swept.push_back(std::move(s));
  }
  closedir(dir);
  return swept;
}

std::vector<SweptManifest> sweep_orphan_manifests(const std::string& pool_dir, uid_t owner,
                                                  const std::function<bool(pid_t)>& creator_gone) {
  namespace fs = std::filesystem;
  std::vector<SweptManifest> swept;
  std::error_code ec;
  for (const fs::directory_entry& job : fs::directory_iterator(pool_dir, ec)) {
    const std::optional<pid_t> host = job_folder_pid(job.path().filename().native());
    if (!host || !is_real_directory(job) || !creator_gone(*host)) continue;
    std::error_code job_ec;
    for (const fs::directory_entry& worker : fs::directory_iterator(job.path(), job_ec)) {
      if (worker.path().filename().native().rfind('w', 0) != 0 || !is_real_directory(worker)) continue;
      std::error_code worker_ec;
      for (const fs::directory_entry& file : fs::directory_iterator(worker.path(), worker_ec)) {
        const std::string path = file.path().native();
        if (!ends_with(path, ".vnx-manifest.json")) continue;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != owner) continue;
        auto manifest = read_manifest_file(path);
        if (!manifest || manifest->mapping_name.empty() || manifest->mapping_name[0] != '/') continue;
        const std::optional<pid_t> creator = segment_creator_pid(std::string_view(manifest->mapping_name).substr(1));
        if (creator != host) continue;
        SweptManifest m{path, *creator, 0};
        if (unlink(path.c_str()) != 0) {
          if (errno == ENOENT) continue;
          m.error = errno;
        }
        swept.push_back(std::move(m));
      }
    }
  }
  return swept;
}

}  // namespace vel
