/* "AEGP Utility Suite" 13: idle wake-up, scripting, user messages. */
#ifndef HOSTSDK_UTILITY_SUITE_H
#define HOSTSDK_UTILITY_SUITE_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kAEGPUtilitySuite "AEGP Utility Suite"
#define kAEGPUtilitySuiteVersion13 13

typedef struct AEGP_UtilitySuite13 {
  /* Shows `info` (UTF-8) to the user; never blocks the caller. */
  A_Err (*ReportInfo)(AEGP_PluginID plugin_id, const A_char* info);
  /* Asks the host to call the idle hooks soon. The one call that is safe
   * from any thread; returns 0 and never blocks. */
  A_Err (*CauseIdleRoutinesToBeCalled)(void);
  /* Runs `script` (NUL-terminated; UTF-8 unless `platform_encoding`) on the
   * main thread. Each out-handle may be null; when given, it receives a new
   * memory handle holding the NUL-terminated result or error text, which
   * the caller frees with the Memory suite. A script that fails still
   * returns 0 with its message in the error text. */
  A_Err (*ExecuteScript)(AEGP_PluginID plugin_id, const A_char* script, A_Boolean platform_encoding,
                         AEGP_MemHandle* result, AEGP_MemHandle* error_text);
  /* Stores non-zero in *shown while the host shows a modal window. */
  A_Err (*IsModalWindowShown)(A_Boolean* shown);
} AEGP_UtilitySuite13;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_UTILITY_SUITE_H */
