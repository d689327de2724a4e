#include "aerender_command.h"

#include <charconv>

namespace sim {

namespace {

std::optional<int64_t> parse_int(const std::string& text, int64_t lo, int64_t hi) {
  int64_t v = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, v);
  if (ec != std::errc() || p != end || v < lo || v > hi) return std::nullopt;
  return v;
}

constexpr int64_t kMaxFrame = 10'000'000;

}  // namespace

Result<AerenderCommand> parse_aerender_command(const std::vector<std::string>& args) {
  AerenderCommand cmd;
  bool have_project = false, have_comp = false, have_s = false, have_e = false, have_om = false, have_out = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-continueOnMissingFootage") {
      cmd.continue_on_missing_footage = true;
      continue;
    }
    if (a == "-mfr") {
      if (i + 2 >= args.size()) return fail("-mfr needs ON or OFF and a percentage");
      const std::string& on = args[++i];
      if (on != "ON" && on != "OFF") return fail("-mfr: expected ON or OFF, got " + on);
      const std::optional<int64_t> pct = parse_int(args[++i], 1, 100);
      if (!pct) return fail("-mfr: bad percentage " + args[i]);
      cmd.mfr_on = on == "ON";
      cmd.mfr_percent = static_cast<uint32_t>(*pct);
      continue;
    }
    if (i + 1 >= args.size()) return fail(a + " needs a value");
    const std::string* v = &args[++i];
    if (a == "-project") {
      cmd.project = *v, have_project = true;
    } else if (a == "-comp") {
      cmd.comp = *v, have_comp = true;
    } else if (a == "-s" || a == "-e") {
      const std::optional<int64_t> frame = parse_int(*v, 0, kMaxFrame);
      if (!frame) return fail(a + ": bad frame number " + *v);
      (a == "-s" ? cmd.first_frame : cmd.last_frame) = *frame;
      (a == "-s" ? have_s : have_e) = true;
    } else if (a == "-OMtemplate") {
      cmd.output_template = *v, have_om = true;
    } else if (a == "-output") {
      cmd.output = *v, have_out = true;
    } else if (a == "-RStemplate") {
      cmd.render_settings_template = *v;
    } else {
      return fail("unknown argument " + a);
    }
  }
  if (!have_project) return fail("-project is required");
  if (!have_comp) return fail("-comp is required");
  if (!have_s || !have_e) return fail("-s and -e are required");
  if (cmd.last_frame < cmd.first_frame) return fail("-e is before -s");
  if (!have_om) return fail("-OMtemplate is required");
  if (!have_out) return fail("-output is required");
  return cmd;
}

std::optional<FrameFileFormat> output_template_format(const std::string& name) {
  if (name == "Photoshop") return FrameFileFormat::Psd;
  if (name == "velocinta-tga-v1") return FrameFileFormat::Tga;
  return std::nullopt;
}

std::optional<int32_t> render_settings_downsample(const std::string& name) {
  if (name == "velocinta-quarter-v6") return 4;
  if (name == "velocinta-half-v6") return 2;
  if (name == "velocinta-extreme-v6") return 1;
  return std::nullopt;
}

std::optional<int32_t> stored_render_settings_downsample(const nlohmann::json& store, const std::string& name) {
  if (!store.contains("rs") || !store["rs"].is_object() || !store["rs"].contains(name)) return std::nullopt;
  const nlohmann::json& t = store["rs"][name];
  if (!t.is_object() || !t.contains("Resolution") || !t["Resolution"].is_string()) return std::nullopt;
  const std::string r = t["Resolution"].get<std::string>();
  if (r == "Full") return 1;
  if (r == "Half") return 2;
  if (r == "Quarter") return 4;
  return std::nullopt;
}

std::optional<FrameFileFormat> stored_output_template_format(const nlohmann::json& store, const std::string& name) {
  if (!store.contains("om") || !store["om"].is_object() || !store["om"].contains(name)) return std::nullopt;
  const nlohmann::json& t = store["om"][name];
  if (!t.is_object() || !t.contains("Format") || !t["Format"].is_string()) return std::nullopt;
  const std::string f = t["Format"].get<std::string>();
  if (f == "Photoshop") return FrameFileFormat::Psd;
  if (f == "Targa") return FrameFileFormat::Tga;
  return std::nullopt;
}

std::optional<std::string> stored_output_module(const nlohmann::json& store, const std::string& name) {
  if (!store.contains("om") || !store["om"].is_object() || !store["om"].contains(name)) return std::nullopt;
  const nlohmann::json& t = store["om"][name];
  if (!t.is_object() || !t.contains("Module") || !t["Module"].is_string()) return std::nullopt;
  std::string sig = t["Module"].get<std::string>();
  if (sig.size() != 4) return std::nullopt;
  return sig;
}

std::optional<std::string> frame_file_path(const std::string& output, int64_t frame) {
  const size_t open = output.rfind('[');
  if (open == std::string::npos) return std::nullopt;
  size_t hashes = 0;
  while (open + 1 + hashes < output.size() && output[open + 1 + hashes] == '#') ++hashes;
  if (hashes == 0 || open + 1 + hashes >= output.size() || output[open + 1 + hashes] != ']') return std::nullopt;
  std::string digits = std::to_string(frame);
  if (digits.size() < hashes) digits.insert(0, hashes - digits.size(), '0');
  return output.substr(0, open) + digits + output.substr(open + hashes + 2);
}

}  // namespace sim
