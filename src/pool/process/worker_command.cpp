#include "pool/process/worker_command.h"

#include <string_view>

extern char** environ;

namespace vel {

bool is_memory_kind(PoolOutputKind kind) { return kind == PoolOutputKind::Memory || kind == PoolOutputKind::MemoryNull; }

const char* output_module_template(PoolOutputKind kind) {
  switch (kind) {
    case PoolOutputKind::Psd:
      return "Photoshop";
    case PoolOutputKind::Tga:
      return "velocinta-tga-v1";
    case PoolOutputKind::Memory:
    case PoolOutputKind::MemoryNull:
      break;
  }
  return "velocinta-memory-v1";
}

std::filesystem::path worker_output_path(const std::filesystem::path& worker_dir, PoolOutputKind kind) {
  switch (kind) {
    case PoolOutputKind::Psd:
      return worker_dir / "f_[#####].psd";
    case PoolOutputKind::Tga:
      return worker_dir / "f_[#####].tga";
    case PoolOutputKind::Memory:
    case PoolOutputKind::MemoryNull:
      break;
  }
  return worker_dir / "output.vnm";
}

std::optional<std::string> render_settings_template(uint64_t downsample, bool extreme) {
  if (downsample == 4) return "velocinta-quarter-v6";
  if (downsample == 2) return "velocinta-half-v6";
  if (extreme) return "velocinta-extreme-v6";
  return std::nullopt;
}

std::vector<std::string> worker_arguments(const WorkerCommand& c) {
  std::vector<std::string> args = {"-project",    c.snapshot_path,
                                   "-comp",       c.comp_name,
                                   "-s",          std::to_string(c.first_frame),
                                   "-e",          std::to_string(c.last_frame),
                                   "-OMtemplate", output_module_template(c.kind),
                                   "-mfr",        "ON",
                                   std::to_string(c.mfr_percent),
                                   "-output",     c.output_path};
  if (c.missing_ok) args.emplace_back("-continueOnMissingFootage");
  if (auto rs = render_settings_template(c.downsample, c.extreme)) {
    args.emplace_back("-RStemplate");
    args.push_back(*rs);
  }
  return args;
}

std::vector<std::string> worker_environment(const std::vector<std::string>& base, PoolOutputKind kind) {
  const bool memory = is_memory_kind(kind);
  const auto named = [](std::string_view entry, std::string_view name) {
    return entry.size() > name.size() && entry.substr(0, name.size()) == name && entry[name.size()] == '=';
  };
  std::vector<std::string> env;
  env.reserve(base.size() + 2);
  for (const std::string& e : base) {
    if (named(e, "VELOCINTA_POOL_WORKER") || (memory && named(e, "VELOCINTA_OUTPUT_FORMAT"))) continue;
    env.push_back(e);
  }
  env.emplace_back("VELOCINTA_POOL_WORKER=1");
  if (memory) env.emplace_back("VELOCINTA_OUTPUT_FORMAT=memory");
  return env;
}

std::vector<std::string> current_environment() {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) env.emplace_back(*e);
  return env;
}

}  // namespace vel
