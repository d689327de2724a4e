/* "AEGP Item Suite" 14: project items (compositions, footage, folders). */
#ifndef HOSTSDK_ITEM_SUITE_H
#define HOSTSDK_ITEM_SUITE_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kAEGPItemSuite "AEGP Item Suite"
#define kAEGPItemSuiteVersion14 14

typedef struct AEGP_ItemSuite14 {
  /* First item of the project in the host's order; null when it has none. */
  A_Err (*GetFirstProjItem)(AEGP_ProjectH project, AEGP_ItemH* item);
  /* Item after `item`; null after the last one. */
  A_Err (*GetNextProjItem)(AEGP_ProjectH project, AEGP_ItemH item, AEGP_ItemH* next);
  /* The item with focus (front composition or selected item); null when none.
   * Not an error when there is none. */
  A_Err (*GetActiveItem)(AEGP_ItemH* item);
  A_Err (*GetItemType)(AEGP_ItemH item, AEGP_ItemType* type);
  /* A new memory handle holding the name as NUL-terminated UTF-16; the
   * caller frees it with the Memory suite. */
  A_Err (*GetItemName)(AEGP_PluginID plugin_id, AEGP_ItemH item, AEGP_MemHandle* utf16_name);
  /* An id unique in the project and stable while the item exists. */
  A_Err (*GetItemID)(AEGP_ItemH item, A_long* id);
  /* Pixel size; a folder answers 0 x 0. */
  A_Err (*GetItemDimensions)(AEGP_ItemH item, A_long* width, A_long* height);
  A_Err (*GetItemDuration)(AEGP_ItemH item, A_Time* duration);
  /* The item's current time (the playhead of a composition), in item time. */
  A_Err (*GetItemCurrentTime)(AEGP_ItemH item, A_Time* time);
} AEGP_ItemSuite14;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_ITEM_SUITE_H */
