/* "AEGP Command Suite" 1: menu commands. */
#ifndef HOSTSDK_COMMAND_SUITE_H
#define HOSTSDK_COMMAND_SUITE_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kAEGPCommandSuite "AEGP Command Suite"
#define kAEGPCommandSuiteVersion1 1

typedef struct AEGP_CommandSuite1 {
  /* Stores a command id no other command of this process uses. */
  A_Err (*GetUniqueCommand)(AEGP_Command* unique_command);
  /* Shows `name` (UTF-8, copied) in `menu_id` at `after_item` (an
   * AEGP_MENU_INSERT_* value or a 0-based position). Does not hook it. */
  A_Err (*InsertMenuCommand)(AEGP_Command command, const A_char* name, AEGP_MenuID menu_id, A_long after_item);
  /* Removes the menu entry; the id stays used. */
  A_Err (*RemoveMenuCommand)(AEGP_Command command);
  /* Renames the entry (UTF-8, copied). */
  A_Err (*SetMenuCommandName)(AEGP_Command command, const A_char* name);
  A_Err (*EnableCommand)(AEGP_Command command);
  A_Err (*DisableCommand)(AEGP_Command command);
  /* Shows (non-zero) or hides the check mark beside the entry. */
  A_Err (*CheckMarkMenuCommand)(AEGP_Command command, A_Boolean check);
} AEGP_CommandSuite1;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_COMMAND_SUITE_H */
