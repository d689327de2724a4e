#include "output_faults.h"

#include <algorithm>

#include "worker_switch.h"

namespace sim {

namespace {

std::optional<HostileOutput> hostile_kind(const std::optional<std::string>& word) {
  if (!word) return std::nullopt;
  if (*word == "duplicate") return HostileOutput::Duplicate;
  if (*word == "contract") return HostileOutput::ContractWord;
  if (*word == "out-of-range") return HostileOutput::OutOfRange;
  if (*word == "too-long") return HostileOutput::PayloadTooLong;
  if (*word == "shrunk") return HostileOutput::Shrunk;
  return std::nullopt;
}

}  // namespace

OutputFaults read_output_faults(const std::function<std::optional<std::string>(const char*)>& getenv,
                                const std::string& output_path) {
  const std::string folder = worker_folder_of(output_path);
  OutputFaults f;
  if (folder.empty()) return f;
  const auto number = [&](const char* name) { return worker_switch_number(getenv(name), folder); };
  const auto set = [&](const char* name) { return number(name).has_value(); };
  f.crash_after = number("SIM_AEIO_CRASH_AFTER");
  f.crash_in_copy = number("SIM_AEIO_CRASH_IN_COPY");
  f.hang_after = number("SIM_AEIO_HANG_AFTER");
  f.extra_frame_ms = std::clamp<int64_t>(number("SIM_AEIO_FRAME_MS").value_or(0), 0, 600'000);
  f.shrink_after = number("SIM_AEIO_SHRINK_AFTER");
  f.cut_to = number("SIM_AEIO_CUT_TO");
  f.skip_ordinal = number("SIM_AEIO_SKIP_ORDINAL");
  f.two_frames = set("SIM_AEIO_TWO_FRAMES");
  f.compressed = set("SIM_AEIO_COMPRESSED");
  f.cropped = set("SIM_AEIO_ORIGIN");
  f.other_pixel_format = set("SIM_AEIO_PIXEL_FORMAT");
  f.start_offset = number("SIM_AEIO_START_OFFSET").value_or(0);
  f.fps_offset = number("SIM_AEIO_FPS_OFFSET").value_or(0);
  f.premultiplied = set("SIM_AEIO_PREMULTIPLIED");
  f.depth64 = set("SIM_AEIO_DEPTH64");
  f.no_end = set("SIM_AEIO_NO_END");
  f.flush_instead_of_end = set("SIM_AEIO_FLUSH");
  f.abort_at = number("SIM_AEIO_ABORT_AT");
  f.output_frame = set("SIM_AEIO_OUTPUT_FRAME");
  f.refuse_register = set("SIM_AEIO_REFUSE_REGISTER");
  f.hide_io_out = set("SIM_AEIO_HIDE_IO_OUT");
  f.hostile = hostile_kind(worker_switch_text(getenv("SIM_AEIO_HOSTILE"), folder));
  return f;
}

}  // namespace sim
