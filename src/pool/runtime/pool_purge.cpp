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
#include "pool/runtime/pool_directory.h"

namespace vel {

namespace {

constexpr int kMaxPurgeDepth = 16;

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool ends_with(std::string_view s, std::string_view e) {
  return s.size() >= e.size() && s.substr(s.size() - e.size()) == e;
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
  for (const char* replaced : {kWorkerRecordName, kPoolLockName})
    if (starts_with(name, std::string(".") + replaced + ".") && ends_with(name, ".tmp")) return true;
  return false;
}

std::vector<std::string> pool_purge_names(int pool) {
  std::vector<std::string> names;
  for (std::string& name : folder_names(pool))
    if (is_pool_made_name(name)) names.push_back(std::move(name));
  return names;
}

std::vector<std::filesystem::path> pool_purge_list(const std::filesystem::path& pool_dir) {
  std::vector<std::filesystem::path> entries;
  const DirFd dir = open_pool_dir(pool_dir);
  if (!dir.ok()) return entries;
  for (const std::string& name : pool_purge_names(dir.get())) entries.push_back(pool_dir / name);
  return entries;
}

bool remove_pool_entry(int pool, std::string_view name) {
  return remove_tree_at(pool, std::string(name), kMaxPurgeDepth);
}

bool remove_pool_entry(const std::filesystem::path& pool_dir, std::string_view name) {
  const DirFd dir = open_pool_dir(pool_dir);
  if (!dir.ok()) return false;
  return remove_pool_entry(dir.get(), name);
}

void start_pool_purge(std::shared_ptr<const DirFd> pool, std::vector<std::string> names) {
  if (!pool || !pool->ok() || names.empty()) return;
  auto list = std::make_shared<std::vector<std::string>>(std::move(names));
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto started = BackgroundWorkerRegistry::process().start(
      "velocinta-pool-purge",
      [pool, list, stop] {
        for (const std::string& name : *list) {
          if (stop->load(std::memory_order_relaxed)) return;
          (void)remove_pool_entry(pool->get(), name);
        }
      },
      [stop] { stop->store(true, std::memory_order_relaxed); });
  (void)started;  // a refused thread was logged; the files stay for the next load
}

}  // namespace vel
