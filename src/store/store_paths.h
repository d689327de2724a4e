// Where the disk store and the cost profiles live for this user; nowhere
// without a home folder or inside a render pool worker (whose output format
// is "tga" or "memory"), and then both are off.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace vel {

namespace fs = std::filesystem;

// "framestore-fast-v1" under the caches folder ("Library/Caches/velocinta").
std::optional<fs::path> frame_store_dir(const std::optional<fs::path>& caches_dir, bool in_pool_worker);

// The composition's cost profile under the application support folder.
std::optional<fs::path> cost_profile_path(const std::optional<fs::path>& app_support_dir, bool in_pool_worker,
                                          std::string_view comp_key);

}  // namespace vel
