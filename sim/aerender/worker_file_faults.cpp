#include "worker_file_faults.h"

#include "worker_switch.h"

namespace sim {

namespace {

// These switches always carry a count: "w<N>:<n>", n at least 0.
std::optional<int64_t> count_for(const std::optional<std::string>& value, const std::string& folder) {
  const std::optional<std::string> text = worker_switch_text(value, folder);
  if (!text || text->empty()) return std::nullopt;
  const std::optional<int64_t> n = worker_switch_number(value, folder);
  if (!n || *n < 0) return std::nullopt;
  return n;
}

}  // namespace

WorkerFileFaults read_worker_file_faults(const std::function<std::optional<std::string>(const char*)>& getenv,
                                         const std::string& output_path) {
  WorkerFileFaults f;
  const std::string folder = worker_folder_of(output_path);
  if (folder.empty()) return f;
  if (const std::optional<int64_t> n = count_for(getenv("SIM_AERENDER_HANG_AFTER"), folder)) {
    f.hang_after = static_cast<uint64_t>(*n);
  }
  f.skip_frame = count_for(getenv("SIM_AERENDER_SKIP_FRAME"), folder);
  return f;
}

}  // namespace sim
