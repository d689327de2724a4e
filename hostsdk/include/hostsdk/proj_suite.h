/* "AEGP Proj Suite" 9: open projects. */
#ifndef HOSTSDK_PROJ_SUITE_H
#define HOSTSDK_PROJ_SUITE_H

#include "hostsdk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kAEGPProjSuite "AEGP Proj Suite"
#define kAEGPProjSuiteVersion9 9

typedef struct AEGP_ProjSuite9 {
  /* Number of open projects (0 or 1). */
  A_Err (*GetNumProjects)(A_long* num_projects);
  /* Project by 0-based index; an index past the count is an error. */
  A_Err (*GetProjectByIndex)(A_long index, AEGP_ProjectH* project);
  /* A new memory handle with the project file's path as NUL-terminated
   * UTF-16; empty when the project was never saved. Caller frees it. */
  A_Err (*GetProjectPath)(AEGP_ProjectH project, AEGP_MemHandle* utf16_path);
  /* Non-zero in *dirty when the project has unsaved changes. */
  A_Err (*ProjectIsDirty)(AEGP_ProjectH project, A_Boolean* dirty);
  /* Writes the project to `utf16_path` (NUL-terminated). The open project
   * keeps its own path and dirty state. */
  A_Err (*SaveProjectToPath)(AEGP_ProjectH project, const A_UTF16Char* utf16_path);
} AEGP_ProjSuite9;

#ifdef __cplusplus
}
#endif

#endif /* HOSTSDK_PROJ_SUITE_H */
