#include "host/project_calls.h"

#include <sys/stat.h>

#include "host/mem_text.h"
#include "host/suite_access.h"
#include "host/utf_text.h"

namespace vel {

Result<int32_t, AeError> num_projects() {
  VEL_TRY_SUITE(proj, AEGP_ProjSuite9);
  A_long n = 0;
  if (auto st = check_ae(proj->GetNumProjects(&n)); !st) return Err{st.error()};
  return n;
}

Result<ProjectH, AeError> project_by_index(int32_t index) {
  VEL_TRY_SUITE(proj, AEGP_ProjSuite9);
  AEGP_ProjectH p = nullptr;
  if (auto st = check_ae(proj->GetProjectByIndex(index, &p)); !st) return Err{st.error()};
  if (!p) return Err{AeError::internal("GetProjectByIndex: null project")};
  return p;
}

Result<std::string, AeError> project_path(ProjectH project) {
  VEL_TRY_SUITE(mem, AEGP_MemorySuite1);
  VEL_TRY_SUITE(proj, AEGP_ProjSuite9);
  AEGP_MemHandle path = nullptr;
  if (auto st = check_ae(proj->GetProjectPath(project, &path)); !st) {
    if (path) mem->FreeMemHandle(path);
    return Err{st.error()};
  }
  return take_utf16_text(*mem, path);
}

Result<bool, AeError> project_is_dirty(ProjectH project) {
  VEL_TRY_SUITE(proj, AEGP_ProjSuite9);
  A_Boolean dirty = 0;
  if (auto st = check_ae(proj->ProjectIsDirty(project, &dirty)); !st) return Err{st.error()};
  return dirty != 0;
}

Status<AeError> save_project_to_path(ProjectH project, std::string_view utf8_path) {
  // A zero byte would cut the path short and save somewhere else.
  if (utf8_path.empty() || utf8_path.find('\0') != std::string_view::npos) return Err{AeError(AeErrorKind::InvalidParms)};
  auto wide = utf8_to_utf16(utf8_path);
  if (!wide) return Err{AeError(AeErrorKind::InvalidParms)};
  VEL_TRY_SUITE(proj, AEGP_ProjSuite9);
  return check_ae(proj->SaveProjectToPath(project, reinterpret_cast<const A_UTF16Char*>(wide->c_str())));
}

std::optional<ProjectFileState> project_file_state() {
  auto n = num_projects();
  if (!n || n.value() < 1) return std::nullopt;
  auto p = project_by_index(0);
  if (!p) return std::nullopt;
  auto path = project_path(p.value());
  if (!path || path.value().empty()) return std::nullopt;
  struct stat st {};
  if (::stat(path.value().c_str(), &st) != 0) return std::nullopt;
  auto dirty = project_is_dirty(p.value());
  if (!dirty) return std::nullopt;
  return ProjectFileState{std::move(path.value()), dirty.value()};
}

}  // namespace vel
