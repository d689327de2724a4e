// Typed calls over the open project (Proj suite). Main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"
#include "host/ae_error.h"
#include "host/handles.h"

namespace vel {

Result<int32_t, AeError> num_projects();
Result<ProjectH, AeError> project_by_index(int32_t index);
// The project file's path as UTF-8; empty when it was never saved.
Result<std::string, AeError> project_path(ProjectH project);
Result<bool, AeError> project_is_dirty(ProjectH project);
// Saves a copy of the project under `utf8_path`; the open project keeps its
// own path. A path that is not valid UTF-8 or holds a zero byte is refused
// (InvalidParms) without calling the host.
Status<AeError> save_project_to_path(ProjectH project, std::string_view utf8_path);

struct ProjectFileState {
  std::string path;
  bool dirty = false;
};
// The open project's file and whether it has unsaved changes; none when no
// project is open, it has no path, the file does not exist or a host call
// fails.
std::optional<ProjectFileState> project_file_state();

}  // namespace vel
