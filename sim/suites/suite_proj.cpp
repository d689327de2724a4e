#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "hostsdk/proj_suite.h"
#include "simhost/host.h"
#include "suites/handles.h"
#include "suites/suites.h"
#include "suites/utf16.h"

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

// The copy written again the slow way: in four pieces with pauses between
// them, or cut off after its first half (a disk that filled up).
void rewrite_copy(const std::string& path, bool half_then_fail) {
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (half_then_fail) {
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    return;
  }
  const size_t piece = bytes.size() / 4 + 1;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    out.write(bytes.data() + at, static_cast<std::streamsize>(std::min(piece, bytes.size() - at)));
    out.flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
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
  const ScriptSwitches sw = host().scripts.switches();
  if (sw.save_copy_half_fails || sw.save_copy_slow) rewrite_copy(target, sw.save_copy_half_fails);
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(target, ec);
  host().saves.add({target, ec ? 0 : size});
  if (sw.save_copy_half_fails) return A_Err_GENERIC;
  return A_Err_NONE;
}

const AEGP_ProjSuite9 kSuite = {GetNumProjects, GetProjectByIndex, GetProjectPath, ProjectIsDirty, SaveProjectToPath};

}  // namespace

void publish_proj_suite(SuiteRegistry& r) { r.publish(kAEGPProjSuite, kAEGPProjSuiteVersion9, &kSuite); }

}  // namespace sim
