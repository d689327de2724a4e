// The pool's working folder: "velocinta_pool" in the temporary directory.
#pragma once

#include <filesystem>
#include <optional>

namespace vel {

// None when the temporary directory was refused.
std::optional<std::filesystem::path> pool_directory_path();

}  // namespace vel
