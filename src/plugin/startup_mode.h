// Which of the three start-up modes this process runs in. Inside a render
// worker only the memory output module may live; the preview is inert there.
#pragma once

#include <string_view>

namespace vel {

enum class StartupMode {
  Normal,
  Probe,  // idle probe: only the idle hook and its pump
  Inert,  // registers nothing
};

struct StartupFacts {
  bool in_render_engine = false;        // the host executable is aerender
  const char* probe_env = nullptr;      // VELOCINTA_PROBE
  const char* pool_worker_env = nullptr;  // VELOCINTA_POOL_WORKER
  bool probe_marker_exists = false;     // "velocinta_probe_idle" in the temporary directory
};

StartupMode choose_startup_mode(const StartupFacts& facts);

// Inside a render pool worker: the pool marked the process, or the host
// executable is the render engine. The disk store and the cost profiles
// stay off there; which transport the workers use says nothing about it.
bool inside_pool_worker(const StartupFacts& facts);

// Whether an executable's file name names the render engine
// (lower-cased, it contains "aerender").
bool names_render_engine(std::string_view executable_path);

// The facts of this process (executable via /proc/self/exe, environment,
// marker file).
StartupFacts current_startup_facts();

const char* startup_mode_name(StartupMode m);

}  // namespace vel
