#include <cstdio>

#include "handles.h"
#include "host.h"
#include "hostsdk/proj_suite.h"
#include "suites.h"
#include "utf16.h"

namespace sim {
namespace {

bool is_project(AEGP_ProjectH p) { return handle_id(p, HandleTag::project).has_value(); }

A_Err GetNumProjects(A_long* n) {
  if (!n) return A_Err_PARAMETER;
  *n = 1;
  return A_Err_NONE;
}

A_Err GetProjectByIndex(A_long index, AEGP_ProjectH* project) {
  if (!project) return A_Err_PARAMETER;
  *project = nullptr;
  if (index != 0) return A_Err_PARAMETER;
  *project = project_handle();
  return A_Err_NONE;
}

A_Err GetProjectPath(AEGP_ProjectH project, AEGP_MemHandle* path) {
  if (!path) return A_Err_PARAMETER;
  *path = nullptr;
  if (!is_project(project)) return A_Err_PARAMETER;
  *path = new_utf16_handle(host().project.path());
  return A_Err_NONE;
}

A_Err ProjectIsDirty(AEGP_ProjectH project, A_Boolean* dirty) {
  if (!dirty || !is_project(project)) return A_Err_PARAMETER;
  *dirty = host().project.dirty() ? 1 : 0;
  return A_Err_NONE;
}

A_Err SaveProjectToPath(AEGP_ProjectH project, const A_UTF16Char* path) {
  if (!path || !is_project(project)) return A_Err_PARAMETER;
  if (!on_main_thread()) return A_Err_WRONG_THREAD;
  std::string target = utf16_to_utf8(path);
  if (target.empty()) return A_Err_PARAMETER;
  Status s = host().project.save_copy(target);
  if (!s) {
    std::fprintf(stderr, "simhost: %s\n", s.error().c_str());
    return A_Err_GENERIC;
  }
  return A_Err_NONE;
}

const AEGP_ProjSuite9 kSuite = {GetNumProjects, GetProjectByIndex, GetProjectPath, ProjectIsDirty, SaveProjectToPath};

}  // namespace

void publish_proj_suite(SuiteRegistry& r) { r.publish(kAEGPProjSuite, kAEGPProjSuiteVersion9, &kSuite); }

}  // namespace sim
