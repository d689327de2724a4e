#include <cstdio>
#include <cstring>

#include "hostsdk/utility_suite.h"
#include "simhost/host.h"
#include "suites/suites.h"

namespace sim {
namespace {

A_Err ReportInfo(AEGP_PluginID, const A_char* info) {
  if (!info) return A_Err_PARAMETER;
  host().info_reports.fetch_add(1, std::memory_order_relaxed);
  std::fprintf(stderr, "simhost: info: %s\n", info);
  return A_Err_NONE;
}

A_Err CauseIdleRoutinesToBeCalled() {
  host().idle.request();
  return A_Err_NONE;
}

// Scripts run in the stand-in's engine (script_host.h); with scripting off
// every script fails with its message in the error text.
A_Err ExecuteScript(AEGP_PluginID, const A_char* script, A_Boolean, AEGP_MemHandle* result,
                    AEGP_MemHandle* error_text) {
  if (!script) return A_Err_PARAMETER;
  if (!on_main_thread()) return A_Err_WRONG_THREAD;
  ScriptRecord ran = host().scripts.run(script, host().project);
  if (result) *result = new_mem_handle(ran.result.c_str(), ran.result.size() + 1);
  if (error_text) *error_text = new_mem_handle(ran.error.c_str(), ran.error.size() + 1);
  return A_Err_NONE;
}

A_Err IsModalWindowShown(A_Boolean* shown) {
  if (!shown) return A_Err_PARAMETER;
  *shown = host().modal.load(std::memory_order_acquire) ? 1 : 0;
  return A_Err_NONE;
}

const AEGP_UtilitySuite13 kSuite = {ReportInfo, CauseIdleRoutinesToBeCalled, ExecuteScript, IsModalWindowShown};

}  // namespace

void publish_utility_suite(SuiteRegistry& r) { r.publish(kAEGPUtilitySuite, kAEGPUtilitySuiteVersion13, &kSuite); }

}  // namespace sim
