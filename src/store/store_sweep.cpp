#include "store/store_sweep.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <numeric>
#include <string>

#include "store/store_names.h"
#include "store/store_tree.h"
#include "store/stream_frames.h"

namespace vel {

namespace {

struct Stamp {
  int64_t sec = 0;
  uint32_t nsec = 0;
  friend auto operator<=>(const Stamp&, const Stamp&) = default;
};

Stamp mtime_at(int dir, const char* name) {
  struct stat st {};
  if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
  return {static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<uint32_t>(st.st_mtim.tv_nsec)};
}

uint64_t sat_add64(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

// The disk the direct entries take, links and folders by their own blocks.
uint64_t direct_size(int dir) {
  uint64_t total = 0;
  for (const std::string& name : folder_names(dir)) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) total = sat_add64(total, disk_bytes(st));
  }
  return total;
}

}  // namespace

std::vector<StreamUsage> collect_stream_usage(const fs::path& root) {
  std::vector<StreamUsage> out;
  DirFd root_dir = open_dir_followed(root);
  if (!root_dir.ok()) return out;
  for_each_store_stream(root_dir.get(), [&](int key_dir, const std::string& key, const std::string& name) {
    DirFd stream = open_dir_at(key_dir, name);
    if (!stream.ok()) return;
    const Stamp use = std::max(mtime_at(key_dir, name.c_str()), mtime_at(stream.get(), kLastUsedFile.data()));
    out.push_back(StreamUsage{use.sec, use.nsec, direct_size(stream.get()), root / key / name});
  });
  return out;
}

std::vector<size_t> select_streams_to_remove(const std::vector<StreamUsage>& usages, uint64_t cap, size_t keep,
                                             const std::optional<fs::path>& active) {
  auto newer = [&](size_t a, size_t b) {
    return Stamp{usages[a].last_use_sec, usages[a].last_use_nsec} > Stamp{usages[b].last_use_sec, usages[b].last_use_nsec};
  };
  auto is_active = [&](size_t i) { return active && usages[i].path == *active; };
  std::vector<size_t> removed;
  std::vector<size_t> candidates;
  // Key folders in the order met, each one's streams newest first.
  for (size_t first = 0; first < usages.size();) {
    const fs::path key_dir = usages[first].path.parent_path();
    size_t end = first;
    while (end < usages.size() && usages[end].path.parent_path() == key_dir) ++end;
    std::vector<size_t> group(end - first);
    std::iota(group.begin(), group.end(), first);
    std::stable_sort(group.begin(), group.end(), newer);
    for (size_t n = 0; n < group.size(); ++n) {
      (n < keep || is_active(group[n]) ? candidates : removed).push_back(group[n]);
    }
    first = end;
  }
  uint64_t total = 0;
  for (size_t i : candidates) total = sat_add64(total, usages[i].size);
  if (total <= cap) return removed;
  uint64_t excess = total - cap;
  std::vector<size_t> oldest_first;
  for (size_t i : candidates) {
    if (!is_active(i)) oldest_first.push_back(i);
  }
  std::stable_sort(oldest_first.begin(), oldest_first.end(), [&](size_t a, size_t b) { return newer(b, a); });
  for (size_t i : oldest_first) {
    if (excess == 0) break;
    removed.push_back(i);
    excess = usages[i].size >= excess ? 0 : excess - usages[i].size;
  }
  return removed;
}

std::vector<std::pair<fs::path, uint64_t>> sweep_store(const fs::path& root, uint64_t cap, size_t keep,
                                                       const std::optional<fs::path>& active) {
  return sweep_measured_store(root, collect_stream_usage(root), cap, keep, active);
}

std::vector<std::pair<fs::path, uint64_t>> sweep_measured_store(const fs::path& root,
                                                                const std::vector<StreamUsage>& usages, uint64_t cap,
                                                                size_t keep, const std::optional<fs::path>& active) {
  std::vector<std::pair<fs::path, uint64_t>> done;
  DirFd root_dir = open_dir_followed(root);
  if (!root_dir.ok()) return done;
  for (size_t i : select_streams_to_remove(usages, cap, keep, active)) {
    // Opened again step by step: what was a stream when measured is removed
    // only if it still is one, never through a link put in its place since.
    DirFd key_dir = open_dir_at(root_dir.get(), usages[i].path.parent_path().filename().native());
    const std::string name = usages[i].path.filename().native();
    if (!key_dir.ok() || !is_store_stream_at(key_dir.get(), name)) continue;
    if (remove_store_folder(key_dir.get(), name)) done.emplace_back(usages[i].path, usages[i].size);
  }
  return done;
}

bool purge_store(const fs::path& root) {
  DirFd root_dir = open_dir_followed(root);
  if (!root_dir.ok()) return errno == ENOENT;
  std::vector<std::string> keys;
  for_each_store_stream(root_dir.get(), [&](int key_dir, const std::string& key, const std::string& name) {
    (void)remove_store_folder(key_dir, name);
    if (keys.empty() || keys.back() != key) keys.push_back(key);
  });
  bool all_gone = true;
  for (const std::string& key : keys) {
    // Only an emptied key folder goes; one holding anything else stays.
    if (::unlinkat(root_dir.get(), key.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT && errno != ENOTEMPTY) {
      all_gone = false;
    }
  }
  // A linked root is the user's way of placing the cache: the link stays.
  struct stat st {};
  if (::lstat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::rmdir(root.c_str()) != 0 && errno != ENOTEMPTY) {
    all_gone = false;
  }
  return all_gone;
}

}  // namespace vel
