/* The one symbol a general plug-in exports. */
#ifndef HOSTSDK_ENTRY_H
#define HOSTSDK_ENTRY_H

#include "hostsdk/basic_suite.h"
#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define AEGP_ENTRY_POINT_NAME "EntryPointFunc"

/* Called once, on the host's main thread, after the library is loaded.
 * `basic` stays valid for the life of the process. The plug-in stores its
 * global state in *global_refcon (null on failure) and returns 0 on success
 * or a host error code. */
typedef A_Err (*AEGP_EntryPointFunc)(SPBasicSuite* basic, A_long major_version, A_long minor_version,
                                     AEGP_PluginID plugin_id, AEGP_GlobalRefcon* global_refcon);

/* The plug-in's definition of it. */
A_Err EntryPointFunc(SPBasicSuite* basic, A_long major_version, A_long minor_version, AEGP_PluginID plugin_id,
                     AEGP_GlobalRefcon* global_refcon);

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_ENTRY_H */
