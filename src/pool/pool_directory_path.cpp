#include "pool/pool_directory_path.h"

#include "core/paths.h"

namespace vel {

std::optional<std::filesystem::path> pool_directory_path() {
  auto tmp = temp_dir();
  if (!tmp) return std::nullopt;
  return *tmp / "velocinta_pool";
}

}  // namespace vel
