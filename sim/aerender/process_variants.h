// How the stand-in aerender and its engines behave as processes, for the
// pool's process tests. The command line is fixed by the pool, so these come
// from the environment (the engines inherit it):
//   SIM_AERENDER_ENGINES=N          engines the client starts (0 … 8, default 1)
//   SIM_AERENDER_ENGINE_HELPER=1    each engine starts a helper child of its own
//   SIM_AERENDER_CLIENT_MIB=N       MiB the client allocates and touches (≤ 4096)
//   SIM_AERENDER_ENGINE_MIB=N       MiB each engine allocates and touches
//   SIM_AERENDER_CLIENT_CPU=P       percent of one core the client burns (0 … 100)
//   SIM_AERENDER_ENGINE_CPU=P       percent of one core each engine burns
//   SIM_AERENDER_EXIT_AFTER=N       the client ends after N frames (silent: at once)
//   SIM_AERENDER_EXIT_STATUS=S      … with this exit status (0 … 255, default 0)
//   SIM_AERENDER_EXIT_SIGNAL=SIG    … or killed by this signal number instead
//   SIM_AERENDER_ENGINE_LINGER_MS=N an engine outlives its client by N ms (≤ 60000)
//   SIM_AERENDER_GROUP_CHILDREN=N   the client starts N children of its own (0 … 8) that stay in
//                                   its process group and live until killed, outliving it
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "simhost/result.h"

namespace sim {

using EnvLookupFn = std::function<std::optional<std::string>(const char*)>;

struct ProcessVariants {
  uint32_t engines = 1;
  bool engine_helper = false;
  uint32_t client_mib = 0;
  uint32_t engine_mib = 0;
  uint32_t client_cpu_percent = 0;
  uint32_t engine_cpu_percent = 0;
  std::optional<uint64_t> exit_after;
  int exit_status = 0;
  std::optional<int> exit_signal;
  uint32_t engine_linger_ms = 0;
  uint32_t group_children = 0;
};

Result<ProcessVariants> read_process_variants(const EnvLookupFn& getenv);

// Allocates and touches `mib` MiB (kept for the life of the process) and
// starts a detached thread that burns `cpu_percent` of one core.
void take_memory_and_cpu(uint32_t mib, uint32_t cpu_percent);

// Starts `count` children in this process's group that hold no descriptor
// of it (so no engine's lifeline) and wait to be killed; each pid is
// printed as "aerender: group child pid N".
void start_group_children(uint32_t count, std::FILE* log);

// Ends the process as the variants say (exit status or signal), at once.
[[noreturn]] void end_client_now(const ProcessVariants& v);

}  // namespace sim
