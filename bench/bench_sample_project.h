// A private scratch folder holding the sample project, for the benchmarks
// that run the stand-in aerender on it. With `one_solid` the main
// composition keeps only its plain solid, so what is measured is the road a
// frame takes rather than the stand-in's compositing.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>
#include "vel_build_paths.h"

namespace bench {

struct SampleProjectDir {
  std::filesystem::path dir;
  std::filesystem::path project;  // empty when the folder or the project could not be made

  SampleProjectDir(const char* name, uint32_t render_cost_ms, bool one_solid) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    dir = pattern;
    std::ifstream in(std::string(VEL_DEMO_DIR) + "/sample.aep");
    nlohmann::json p = nlohmann::json::parse(in, nullptr, false);
    if (!p.is_object()) return;
    for (auto& c : p["compositions"]) {
      c["render_cost_ms"] = render_cost_ms;
      if (one_solid && c["name"] == "Main" && c["layers"].is_array() && !c["layers"].empty())
        c["layers"] = nlohmann::json::array({c["layers"].back()});
    }
    project = dir / "sample.aep";
    std::ofstream(project) << p.dump();
  }
  ~SampleProjectDir() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
  SampleProjectDir(const SampleProjectDir&) = delete;
  SampleProjectDir& operator=(const SampleProjectDir&) = delete;
};

}  // namespace bench
