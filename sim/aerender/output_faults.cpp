#include "output_faults.h"

#include <charconv>
#include <filesystem>

namespace sim {

namespace {

// The number after "<folder>:" when the value names `folder`; 0 for a bare
// "<folder>"; nothing otherwise.
std::optional<int64_t> scoped(const std::optional<std::string>& value, const std::string& folder) {
  if (!value || value->compare(0, folder.size(), folder) != 0) return std::nullopt;
  const std::string rest = value->substr(folder.size());
  if (rest.empty()) return 0;
  if (rest[0] != ':') return std::nullopt;
  int64_t n = 0;
  const char* begin = rest.data() + 1;
  const char* end = rest.data() + rest.size();
  const auto [p, ec] = std::from_chars(begin, end, n);
  if (ec != std::errc() || p != end) return std::nullopt;
  return n;
}

}  // namespace

OutputFaults read_output_faults(const std::function<std::optional<std::string>(const char*)>& getenv,
                                const std::string& output_path) {
  const std::string folder = std::filesystem::path(output_path).parent_path().filename().string();
  OutputFaults f;
  if (folder.empty()) return f;
  f.skip_ordinal = scoped(getenv("SIM_AEIO_SKIP_ORDINAL"), folder);
  f.start_offset = scoped(getenv("SIM_AEIO_START_OFFSET"), folder).value_or(0);
  f.fps_offset = scoped(getenv("SIM_AEIO_FPS_OFFSET"), folder).value_or(0);
  f.premultiplied = scoped(getenv("SIM_AEIO_PREMULTIPLIED"), folder).has_value();
  f.abort_at = scoped(getenv("SIM_AEIO_ABORT_AT"), folder);
  f.flush_instead_of_end = scoped(getenv("SIM_AEIO_FLUSH"), folder).has_value();
  f.crash_after = scoped(getenv("SIM_AEIO_CRASH_AFTER"), folder);
  f.hang_after = scoped(getenv("SIM_AEIO_HANG_AFTER"), folder);
  f.refuse_register = scoped(getenv("SIM_AEIO_REFUSE_REGISTER"), folder).has_value();
  f.hide_io_out = scoped(getenv("SIM_AEIO_HIDE_IO_OUT"), folder).has_value();
  return f;
}

}  // namespace sim
