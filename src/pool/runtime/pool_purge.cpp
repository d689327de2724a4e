#include "pool/runtime/pool_purge.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>

#include "cache/worker_registry.h"
#include "core/dir_fd.h"
#include "pool/process/worker_record.h"

namespace vel {

namespace {

constexpr int kMaxPurgeDepth = 16;

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool ends_with(std::string_view s, std::string_view e) {
  return s.size() >= e.size() && s.substr(s.size() - e.size()) == e;
}

// Removes `name` in the open folder `parent`: unlinked when it is anything
// but a folder (a link goes, its target stays); a folder is opened without
// following a link, emptied the same way and removed.
bool remove_entry_at(int parent, const std::string& name, int depth_left) {
  if (::unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  if (depth_left == 0) return false;
  {
    const DirFd dir = open_dir_at(parent, name);
    if (!dir.ok()) return errno == ENOENT;
    for (const std::string& entry : folder_names(dir.get())) (void)remove_entry_at(dir.get(), entry, depth_left - 1);
  }
  return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

// The pool folder was checked when its lock was taken (ours, not a link);
// a link put in its place since is not followed either.
DirFd open_pool_dir(const std::filesystem::path& pool_dir) { return open_dir_at(AT_FDCWD, pool_dir.native()); }

}  // namespace

bool is_pool_made_name(std::string_view name) {
  if (name == "snapshot.aep" || name == "velocinta_snapshot.aep" || name == "warmup") return true;
  if (starts_with(name, "job_")) return true;
  for (std::string_view copy : {"saved-", "partial-", "hostsave-"})
    if (starts_with(name, copy) && ends_with(name, ".aep")) return true;
  const std::string record_temporary = std::string(".") + kWorkerRecordName + ".";
  return starts_with(name, record_temporary) && ends_with(name, ".tmp");
}

std::vector<std::filesystem::path> pool_purge_list(const std::filesystem::path& pool_dir) {
  std::vector<std::filesystem::path> entries;
  const DirFd dir = open_pool_dir(pool_dir);
  if (!dir.ok()) return entries;
  for (const std::string& name : folder_names(dir.get()))
    if (is_pool_made_name(name)) entries.push_back(pool_dir / name);
  return entries;
}

bool remove_pool_entry(const std::filesystem::path& pool_dir, std::string_view name) {
  const DirFd dir = open_pool_dir(pool_dir);
  if (!dir.ok()) return false;
  return remove_entry_at(dir.get(), std::string(name), kMaxPurgeDepth);
}

void start_pool_purge(const std::filesystem::path& pool_dir, std::vector<std::filesystem::path> entries) {
  if (entries.empty()) return;
  auto list = std::make_shared<std::vector<std::filesystem::path>>(std::move(entries));
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto started = BackgroundWorkerRegistry::process().start(
      "velocinta-pool-purge",
      [pool_dir, list, stop] {
        for (const std::filesystem::path& p : *list) {
          if (stop->load(std::memory_order_relaxed)) return;
          (void)remove_pool_entry(pool_dir, p.filename().native());
        }
      },
      [stop] { stop->store(true, std::memory_order_relaxed); });
  (void)started;  // a refused thread was logged; the files stay for the next load
}

}  // namespace vel
