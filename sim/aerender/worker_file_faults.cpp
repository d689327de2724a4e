#include "worker_file_faults.h"

#include <charconv>
#include <filesystem>

namespace sim {

namespace {

// The number after "<folder>:" when the value names `folder` exactly.
std::optional<int64_t> number_for(const std::optional<std::string>& value, const std::string& folder) {
  if (!value || value->size() <= folder.size() + 1 || value->compare(0, folder.size(), folder) != 0 ||
      (*value)[folder.size()] != ':') {
    return std::nullopt;
  }
  int64_t n = 0;
  const char* begin = value->data() + folder.size() + 1;
  const char* end = value->data() + value->size();
  const auto [p, ec] = std::from_chars(begin, end, n);
  if (ec != std::errc() || p != end || n < 0) return std::nullopt;
  return n;
}

}  // namespace

WorkerFileFaults read_worker_file_faults(const std::function<std::optional<std::string>(const char*)>& getenv,
                                         const std::string& output_path) {
  WorkerFileFaults f;
  const std::string folder = std::filesystem::path(output_path).parent_path().filename().string();
  if (folder.empty()) return f;
  if (const std::optional<int64_t> n = number_for(getenv("SIM_AERENDER_HANG_AFTER"), folder)) {
    f.hang_after = static_cast<uint64_t>(*n);
  }
  f.skip_frame = number_for(getenv("SIM_AERENDER_SKIP_FRAME"), folder);
  return f;
}

}  // namespace sim
