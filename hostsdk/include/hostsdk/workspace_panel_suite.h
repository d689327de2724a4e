/* "AEGP Workspace Panel Suite" 1: dockable panels. */
#ifndef HOSTSDK_WORKSPACE_PANEL_SUITE_H
#define HOSTSDK_WORKSPACE_PANEL_SUITE_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kAEGPWorkspacePanelSuite "AEGP Workspace Panel Suite"
#define kAEGPWorkspacePanelSuiteVersion1 1

typedef void* AEGP_CreatePanelRefcon;
typedef void* AEGP_PanelRefcon;
/* The host's container view for the panel (an NSView on the Mac). */
typedef void* AEGP_PlatformViewRef;

/* Callbacks the panel gives the host; any entry may be left null. */
typedef struct AEGP_PanelFunctions1 {
  A_Err (*GetSnapSizes)(AEGP_PanelRefcon refcon, A_LPoint* snap_sizes, A_long* num_sizes);
  A_Err (*PopulateFlyout)(AEGP_PanelRefcon refcon, void* menu);
  A_Err (*DoFlyoutCommand)(AEGP_PanelRefcon refcon, AEGP_Command command);
} AEGP_PanelFunctions1;

/* Called on the main thread when the host creates the panel's container.
 * The plug-in fills *functions (pre-zeroed) and *panel_refcon. */
typedef A_Err (*AEGP_CreatePanelHook)(AEGP_GlobalRefcon plugin_refcon, AEGP_CreatePanelRefcon refcon,
                                      AEGP_PlatformViewRef container, AEGP_PanelH panel,
                                      AEGP_PanelFunctions1* functions, AEGP_PanelRefcon* panel_refcon);

typedef struct AEGP_WorkspacePanelSuite1 {
  /* Registers the panel under `utf8_match_name` (copied) and adds it to the
   * Window menu. A second registration of the same name is refused. */
  A_Err (*RegisterCreatePanelHook)(AEGP_PluginID plugin_id, const A_u_char* utf8_match_name,
                                   AEGP_CreatePanelHook hook, AEGP_CreatePanelRefcon refcon,
                                   A_Boolean paint_background);
  A_Err (*UnRegisterCreatePanelHook)(const A_u_char* utf8_match_name);
  /* Sets the panel's tab title (UTF-8, copied). */
  A_Err (*SetTitle)(AEGP_PanelH panel, const A_u_char* utf8_title);
} AEGP_WorkspacePanelSuite1;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_WORKSPACE_PANEL_SUITE_H */
