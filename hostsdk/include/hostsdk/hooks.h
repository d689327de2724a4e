/* The hooks a general plug-in registers with the Register suite. Each is
 * called on the host's main thread with the global refcon returned at entry
 * and the per-hook refcon given at registration. */
#ifndef HOSTSDK_HOOKS_H
#define HOSTSDK_HOOKS_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void* AEGP_IdleRefcon;
typedef void* AEGP_CommandRefcon;
typedef void* AEGP_UpdateMenuRefcon;
typedef void* AEGP_DeathRefcon;

/* Whether a command hook runs before or after the host's own handling. */
typedef A_long AEGP_HookPriority;
#define AEGP_HP_BeforeAE 1
#define AEGP_HP_AfterAE 2

/* The kind of window that has focus when menus are updated. */
typedef A_long AEGP_WindowType;
#define AEGP_WindType_NONE 0
#define AEGP_WindType_PROJECT 1
#define AEGP_WindType_COMP 2
#define AEGP_WindType_OTHER 3

/* Called repeatedly while the host is idle. *max_sleep holds the longest the
 * host may wait (ms) before the next call; the hook may lower it. */
typedef A_Err (*AEGP_IdleHook)(AEGP_GlobalRefcon plugin_refcon, AEGP_IdleRefcon refcon, A_long* max_sleep);

/* Called when a menu command is chosen. `already_handled` tells whether an
 * earlier hook took it; the hook sets *handled when it takes it. */
typedef A_Err (*AEGP_CommandHook)(AEGP_GlobalRefcon plugin_refcon, AEGP_CommandRefcon refcon, AEGP_Command command,
                                  AEGP_HookPriority hook_priority, A_Boolean already_handled, A_Boolean* handled);

/* Called before the host shows a menu, to enable or check the plug-in's
 * commands through the Command suite. */
typedef A_Err (*AEGP_UpdateMenuHook)(AEGP_GlobalRefcon plugin_refcon, AEGP_UpdateMenuRefcon refcon,
                                     AEGP_WindowType active_window);

/* Called once when the host quits; no other hook is called afterwards. */
typedef A_Err (*AEGP_DeathHook)(AEGP_GlobalRefcon plugin_refcon, AEGP_DeathRefcon refcon);

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_HOOKS_H */
