// The size sweep of the frame store: one stream per composition name is
// kept (the newest), then the oldest streams go until the store is under its
// cap. The active stream is never removed, even alone over the cap.
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
  uint64_t size = 0;  // direct entries only, saturating
  fs::path path;
};

// Every stream folder (a folder inside a key folder of `root`) that can be
// listed, key folders in listing order; symbolic links are not followed.
std::vector<StreamUsage> collect_stream_usage(const fs::path& root);

// Which usages to remove: beyond the `keep` newest of each key folder, then
// the oldest of the rest (stable order) while the total exceeds `cap`;
// `active` is exempt from both. Pure.
std::vector<size_t> select_streams_to_remove(const std::vector<StreamUsage>& usages, uint64_t cap, size_t keep,
                                             const std::optional<fs::path>& active);

// Removes what select_streams_to_remove picks; answers the folders removed
// with their sizes. Failures are skipped silently.
std::vector<std::pair<fs::path, uint64_t>> sweep_store(const fs::path& root, uint64_t cap, size_t keep,
                                                       const std::optional<fs::path>& active);

}  // namespace vel
