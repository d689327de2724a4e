#include "store/store_sweep.h"

#include <sys/stat.h>

#include <algorithm>
#include <numeric>

namespace vel {

namespace {

struct Stamp {
  int64_t sec = 0;
  uint32_t nsec = 0;
  friend auto operator<=>(const Stamp&, const Stamp&) = default;
};

Stamp mtime_of(const fs::path& p) {
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0) return {};
  return {static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<uint32_t>(st.st_mtim.tv_nsec)};
}

uint64_t sat_add64(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

bool is_real_dir(const fs::directory_entry& e) {
  std::error_code ec;
  return e.is_directory(ec) && !e.is_symlink(ec);
}

// Size of the direct entries; none when the folder cannot be listed.
std::optional<uint64_t> direct_size(const fs::path& dir) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) return std::nullopt;
  uint64_t total = 0;
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) == 0 && st.st_size > 0) total = sat_add64(total, static_cast<uint64_t>(st.st_size));
  }
  return total;
}

}  // namespace

std::vector<StreamUsage> collect_stream_usage(const fs::path& root) {
  std::vector<StreamUsage> out;
  std::error_code ec;
  fs::directory_iterator keys(root, ec);
  for (; !ec && keys != fs::directory_iterator(); keys.increment(ec)) {
    if (!is_real_dir(*keys)) continue;
    std::error_code sec;
    fs::directory_iterator streams(keys->path(), sec);
    for (; !sec && streams != fs::directory_iterator(); streams.increment(sec)) {
      if (!is_real_dir(*streams)) continue;
      std::optional<uint64_t> size = direct_size(streams->path());
      if (!size) continue;
      const Stamp use = std::max(mtime_of(streams->path()), mtime_of(streams->path() / ".last_used"));
      out.push_back(StreamUsage{use.sec, use.nsec, *size, streams->path()});
    }
  }
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
  const std::vector<StreamUsage> usages = collect_stream_usage(root);
  std::vector<std::pair<fs::path, uint64_t>> done;
  for (size_t i : select_streams_to_remove(usages, cap, keep, active)) {
    std::error_code ec;
    fs::remove_all(usages[i].path, ec);
    if (!ec) done.emplace_back(usages[i].path, usages[i].size);
  }
  return done;
}

}  // namespace vel
