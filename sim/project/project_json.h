// Project files: the JSON form of a Project (the samples carry the extension
// .aep). Reading checks every field and bounds every size before use; a bad
// file is refused with a text naming the field at fault.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "project/project_model.h"
#include "simhost/result.h"

namespace sim {

// Upper bounds on what a project file may ask for.
inline constexpr int32_t kMaxCompSide = 30000;
inline constexpr size_t kMaxLayers = 4096;
inline constexpr size_t kMaxKeyframes = 100000;
inline constexpr size_t kMaxComps = 1024;
inline constexpr uint32_t kMaxRenderCostMs = 60000;
inline constexpr size_t kMaxProjectFileBytes = 64u << 20;

Result<Project> project_from_json(const nlohmann::json& doc);
nlohmann::json project_to_json(const Project& project);

// Reads and parses a project file.
Result<Project> load_project_file(const std::string& path);
Result<Project> parse_project_text(const std::string& text);

// Writes the project through a temporary name in the same folder and a rename,
// so a reader never sees half a file.
Status save_project_file(const Project& project, const std::string& path);

}  // namespace sim
