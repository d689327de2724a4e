#include "output_folder_link.h"

#include <filesystem>
#include <system_error>

namespace sim {

bool link_output_folder(const std::string& output_path, const std::string& target, std::string& why) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(output_path).parent_path();
  std::error_code ec;
  fs::rename(folder, fs::path(folder.string() + ".moved"), ec);
  if (!ec) fs::create_directory_symlink(target, folder, ec);
  if (ec) why = folder.string() + ": " + ec.message();
  return !ec;
}

}  // namespace sim
