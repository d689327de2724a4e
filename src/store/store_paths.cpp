#include "store/store_paths.h"

#include "store/cost_profile.h"

namespace vel {

std::optional<fs::path> frame_store_dir(const std::optional<fs::path>& caches_dir, bool in_pool_worker) {
  if (!caches_dir || in_pool_worker) return std::nullopt;
  return *caches_dir / "framestore-fast-v1";
}

std::optional<fs::path> cost_profile_path(const std::optional<fs::path>& app_support_dir, bool in_pool_worker,
                                          std::string_view comp_key) {
  if (!app_support_dir || in_pool_worker) return std::nullopt;
  return cost_profile_file(*app_support_dir, comp_key);
}

}  // namespace vel
