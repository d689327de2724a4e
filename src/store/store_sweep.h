// The size sweep of the frame store: one stream per composition name is
// kept (the newest), then the oldest streams go until the store is under its
// cap. The active stream's folder is never removed, even alone over the
// cap: the store thread keeps that stream within what the others leave
// (stream_frames.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

namespace vel {

namespace fs = std::filesystem;

inline constexpr uint64_t kStoreCapBytes = 17179869184ULL;  // 16 GiB

struct StreamUsage {
  int64_t last_use_sec = 0;  // the later of the folder's and its ".last_used" marker's modification
  uint32_t last_use_nsec = 0;
  uint64_t size = 0;  // the disk its direct entries take (their blocks), saturating
  fs::path path;
};

// Every stream folder the store made (store_tree.h) under `root`, key
// folders in listing order; a linked root is followed, no link inside it.
std::vector<StreamUsage> collect_stream_usage(const fs::path& root);

// Which usages to remove: beyond the `keep` newest of each key folder, then
// the oldest of the rest (stable order) while the total exceeds `cap`;
// `active` is exempt from both. Pure.
std::vector<size_t> select_streams_to_remove(const std::vector<StreamUsage>& usages, uint64_t cap, size_t keep,
                                             const std::optional<fs::path>& active);

// Removes what select_streams_to_remove picks, the store's own files only;
// answers the folders removed with their sizes. Failures are skipped
// silently, and a stream holding anything else stays.
std::vector<std::pair<fs::path, uint64_t>> sweep_store(const fs::path& root, uint64_t cap, size_t keep,
                                                       const std::optional<fs::path>& active);

// The same over `usages` as collect_stream_usage(root) measured them.
std::vector<std::pair<fs::path, uint64_t>> sweep_measured_store(const fs::path& root,
                                                                const std::vector<StreamUsage>& usages, uint64_t cap,
                                                                size_t keep, const std::optional<fs::path>& active);

// Removes every stream the store made under `root`, then the key folders
// left empty and the root itself when it is a real folder left empty (a
// linked root stays). False when the root or a folder could not be read
// or removed for another reason than holding something else.
bool purge_store(const fs::path& root);

}  // namespace vel
