#include "aerender_faults.h"

#include <charconv>

namespace sim {

std::optional<int64_t> switch_number(const std::string& text, int64_t hi) {
  int64_t v = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, v);
  if (ec != std::errc() || p != end || v < 0 || v > hi) return std::nullopt;
  return v;
}

namespace {

std::optional<std::set<int64_t>> frame_list(const std::string& text) {
  std::set<int64_t> out;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const std::optional<int64_t> v = switch_number(item, 10'000'000);
    if (!v) return std::nullopt;
    out.insert(*v);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

}  // namespace

Result<AerenderFaults> read_aerender_faults(const std::function<std::optional<std::string>(const char*)>& getenv) {
  AerenderFaults f;
  // A value that names worker folders ("w0:5") is one worker's fault, read
  // with the output path (worker_file_faults.h); a bare value acts on all.
  const auto all_workers = [&getenv](const char* name) -> std::optional<std::string> {
    std::optional<std::string> v = getenv(name);
    if (v && v->find('w') != std::string::npos) return std::nullopt;
    return v;
  };
  if (auto v = all_workers("SIM_AERENDER_FRAME_MS")) {
    const std::optional<int64_t> ms = switch_number(*v, 600'000);
    if (!ms) return fail("SIM_AERENDER_FRAME_MS: bad value " + *v);
    f.extra_frame_ms = static_cast<uint32_t>(*ms);
  }
  if (auto v = getenv("SIM_AERENDER_COST_MS")) {
    const std::optional<int64_t> ms = switch_number(*v, 60'000);
    if (!ms) return fail("SIM_AERENDER_COST_MS: bad value " + *v);
    f.cost_ms = static_cast<uint32_t>(*ms);
  }
  if (auto v = getenv("SIM_AERENDER_SILENT")) f.silent = *v == "1";
  if (auto v = getenv("SIM_AERENDER_FORGET_RS_TEMPLATE")) f.forget_render_settings = *v == "1";
  if (auto v = all_workers("SIM_AERENDER_CRASH_AFTER")) {
    const std::optional<int64_t> n = switch_number(*v, 10'000'000);
    if (!n) return fail("SIM_AERENDER_CRASH_AFTER: bad value " + *v);
    f.crash_after = static_cast<uint64_t>(*n);
  }
  const std::pair<const char*, std::set<int64_t>*> lists[] = {{"SIM_AERENDER_SKIP", &f.skip},
                                                              {"SIM_AERENDER_CORRUPT", &f.corrupt},
                                                              {"SIM_AERENDER_TRUNCATE", &f.truncate},
                                                              {"SIM_AERENDER_WRITE_ERROR", &f.write_error}};
  for (const auto& [name, target] : lists) {
    if (auto v = all_workers(name)) {
      std::optional<std::set<int64_t>> frames = frame_list(*v);
      if (!frames) return fail(std::string(name) + ": bad frame list " + *v);
      *target = std::move(*frames);
    }
  }
  const std::pair<const char*, std::optional<int64_t>*> offsets[] = {{"SIM_AERENDER_SHIFT", &f.shift},
                                                                    {"SIM_AERENDER_ALSO_AS", &f.also_as}};
  for (const auto& [name, target] : offsets) {
    if (auto v = getenv(name)) {
      *target = switch_number(*v, 1'000'000);
      if (!*target || **target == 0) return fail(std::string(name) + ": bad offset " + *v);
    }
  }
  if (auto v = getenv("SIM_AERENDER_REWRITE_US")) {
    const std::optional<int64_t> us = switch_number(*v, 1'000'000);
    if (!us) return fail("SIM_AERENDER_REWRITE_US: bad value " + *v);
    f.rewrite_pause_us = static_cast<uint32_t>(*us);
  }
  if (auto v = getenv("SIM_AERENDER_TGA")) f.tga_run_length = *v == "rle";
  if (auto v = getenv("SIM_AERENDER_PSD")) f.psd_packbits = *v != "raw";
  if (auto v = getenv("SIM_AERENDER_PSD_DEPTH")) {
    if (*v != "8" && *v != "16") return fail("SIM_AERENDER_PSD_DEPTH: 8 or 16, got " + *v);
    f.psd_depth = *v == "16" ? 16 : 8;
  }
  if (auto v = getenv("SIM_AERENDER_PSD_CHANNELS")) {
    if (*v != "3" && *v != "4") return fail("SIM_AERENDER_PSD_CHANNELS: 3 or 4, got " + *v);
    f.psd_alpha_channel = *v == "4";
  }
  return f;
}

}  // namespace sim
