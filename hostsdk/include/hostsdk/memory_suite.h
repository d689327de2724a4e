/* "AEGP Memory Suite" 1: host memory handles. */
#ifndef HOSTSDK_MEMORY_SUITE_H
#define HOSTSDK_MEMORY_SUITE_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kAEGPMemorySuite "AEGP Memory Suite"
#define kAEGPMemorySuiteVersion1 1

typedef A_long AEGP_MemFlag;
#define AEGP_MemFlag_NONE 0
#define AEGP_MemFlag_CLEAR 1 /* zero the bytes */
#define AEGP_MemFlag_QUIET 2 /* do not report a failed allocation to the user */

typedef struct AEGP_MemorySuite1 {
  /* Allocates `size` bytes under the label `what` (for the host's leak
   * report). On failure *handle is null and A_Err_ALLOC is returned. */
  A_Err (*NewMemHandle)(AEGP_PluginID plugin_id, const A_char* what, AEGP_MemSize size, AEGP_MemFlag flags,
                        AEGP_MemHandle* handle);
  /* Frees a handle; a locked handle may be freed. Null is an error. */
  A_Err (*FreeMemHandle)(AEGP_MemHandle handle);
  /* Stores the address of the bytes in *ptr; locks nest. */
  A_Err (*LockMemHandle)(AEGP_MemHandle handle, void** ptr);
  /* Undoes one lock; unlocking an unlocked handle is an error. */
  A_Err (*UnlockMemHandle)(AEGP_MemHandle handle);
  A_Err (*GetMemHandleSize)(AEGP_MemHandle handle, AEGP_MemSize* size);
} AEGP_MemorySuite1;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_MEMORY_SUITE_H */
