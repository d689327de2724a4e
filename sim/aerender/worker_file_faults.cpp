#include "worker_file_faults.h"

#include <algorithm>
#include <charconv>

#include "worker_switch.h"

namespace sim {

namespace {

// These switches always carry a count: "w<N>:<n>", n at least 0.
std::optional<int64_t> count_for(const std::optional<std::string>& value, const std::string& scope) {
  const std::optional<std::string> text = worker_switch_text(value, scope);
  if (!text || text->empty()) return std::nullopt;
  const std::optional<int64_t> n = worker_switch_number(value, scope);
  if (!n || *n < 0) return std::nullopt;
  return n;
}

// "w<N>:<k>" or "w<N>:+<k>".
std::optional<WorkerFrame> frame_for(const std::optional<std::string>& value, const std::string& scope) {
  const std::optional<std::string> text = worker_switch_text(value, scope);
  if (!text || text->empty()) return std::nullopt;
  const bool from_first = (*text)[0] == '+';
  const std::string digits = from_first ? text->substr(1) : *text;
  int64_t n = 0;
  const char* end = digits.data() + digits.size();
  const auto [p, ec] = std::from_chars(digits.data(), end, n);
  if (digits.empty() || ec != std::errc() || p != end || n < 0) return std::nullopt;
  return WorkerFrame{n, from_first};
}

}  // namespace

WorkerFileFaults read_worker_file_faults(const std::function<std::optional<std::string>(const char*)>& getenv,
                                         const std::string& output_path) {
  WorkerFileFaults f;
  const std::string scope = worker_scope_of(output_path);
  if (scope.empty()) return f;
  const auto count = [&](const char* name) -> std::optional<uint64_t> {
    if (const std::optional<int64_t> n = count_for(getenv(name), scope)) return static_cast<uint64_t>(*n);
    return std::nullopt;
  };
  f.hang_after = count("SIM_AERENDER_HANG_AFTER");
  f.skip_frame = frame_for(getenv("SIM_AERENDER_SKIP_FRAME"), scope);
  f.crash_after = count("SIM_AERENDER_CRASH_AFTER");
  f.extra_frame_ms = static_cast<uint32_t>(std::min<uint64_t>(count("SIM_AERENDER_FRAME_MS").value_or(0), 600'000));
  f.corrupt_frame = frame_for(getenv("SIM_AERENDER_CORRUPT"), scope);
  f.unexec_after = count("SIM_AERENDER_UNEXEC_AFTER");
  f.exit_delay_ms = static_cast<uint32_t>(std::min<uint64_t>(count("SIM_AERENDER_EXIT_DELAY_MS").value_or(0), 60'000));
  if (worker_switch_text(getenv("SIM_AERENDER_LINK_OUT"), scope)) {
    std::optional<std::string> target = getenv("SIM_AERENDER_LINK_TARGET");
    const std::optional<std::string> home = getenv("HOME");
    if (target && target->starts_with("~/") && home) target = *home + target->substr(1);
    if (target && !target->empty()) f.link_target = target;
  }
  f.late_write_ms = static_cast<uint32_t>(std::min<uint64_t>(count("SIM_AERENDER_LATE_WRITE_MS").value_or(0), 60'000));
  f.churn_frame = frame_for(getenv("SIM_AERENDER_CHURN"), scope);
  f.hollow_frames = count("SIM_AERENDER_HOLLOW").value_or(0);
  return f;
}

}  // namespace sim
