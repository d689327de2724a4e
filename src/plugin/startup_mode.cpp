#include "plugin/startup_mode.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/paths.h"

namespace vel {

StartupMode choose_startup_mode(const StartupFacts& f) {
  const bool probe_requested = f.probe_env != nullptr && std::strcmp(f.probe_env, "idle") == 0;
  if (probe_requested || (f.in_render_engine && f.probe_marker_exists)) return StartupMode::Probe;
  if (f.in_render_engine) return StartupMode::Inert;
  if (f.pool_worker_env != nullptr) return StartupMode::Inert;
  return StartupMode::Normal;
}

bool inside_pool_worker(const StartupFacts& f) { return f.in_render_engine || f.pool_worker_env != nullptr; }

bool names_render_engine(std::string_view executable_path) {
  size_t slash = executable_path.find_last_of('/');
  std::string name(slash == std::string_view::npos ? executable_path : executable_path.substr(slash + 1));
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  return name.find("aerender") != std::string::npos;
}

StartupFacts current_startup_facts() {
  StartupFacts f;
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  f.in_render_engine = !ec && names_render_engine(exe.string());
  f.probe_env = std::getenv("VELOCINTA_PROBE");
  f.pool_worker_env = std::getenv("VELOCINTA_POOL_WORKER");
  if (f.in_render_engine) {
    if (auto tmp = temp_dir()) f.probe_marker_exists = std::filesystem::exists(*tmp / "velocinta_probe_idle", ec);
  }
  return f;
}

const char* startup_mode_name(StartupMode m) {
  switch (m) {
    case StartupMode::Normal: return "normal";
    case StartupMode::Probe: return "probe";
    case StartupMode::Inert: return "inert";
  }
  return "?";
}

}  // namespace vel
