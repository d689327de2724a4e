/* "AEGP Register Suite" 6: hook registration. */
#ifndef HOSTSDK_REGISTER_SUITE_H
#define HOSTSDK_REGISTER_SUITE_H

#include "hostsdk/hooks.h"
#include "hostsdk/io.h"
#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kAEGPRegisterSuite "AEGP Register Suite"
#define kAEGPRegisterSuiteVersion6 6

typedef struct AEGP_RegisterSuite6 {
  /* Hooks `command` for this plug-in. Returns 0, or non-zero when the
   * command id is unknown. Registering the same command twice keeps both. */
  A_Err (*RegisterCommandHook)(AEGP_PluginID plugin_id, AEGP_HookPriority priority, AEGP_Command command,
                               AEGP_CommandHook hook, AEGP_CommandRefcon refcon);
  /* One update-menu hook per plug-in; a second call replaces the first. */
  A_Err (*RegisterUpdateMenuHook)(AEGP_PluginID plugin_id, AEGP_UpdateMenuHook hook, AEGP_UpdateMenuRefcon refcon);
  /* One death hook per plug-in; a second call replaces the first. */
  A_Err (*RegisterDeathHook)(AEGP_PluginID plugin_id, AEGP_DeathHook hook, AEGP_DeathRefcon refcon);
  /* One idle hook per plug-in; a second call replaces the first. */
  A_Err (*RegisterIdleHook)(AEGP_PluginID plugin_id, AEGP_IdleHook hook, AEGP_IdleRefcon refcon);
  /* Registers an output module. The host copies both records; it never
   * writes through them. */
  A_Err (*RegisterIO)(AEGP_PluginID plugin_id, AEGP_IORefcon refcon, const AEIO_ModuleInfo* info,
                      const AEIO_FunctionBlock* functions);
} AEGP_RegisterSuite6;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_REGISTER_SUITE_H */
