// The parts of a layer in the project file that only introspection reads:
// object type, switches, parent, track matte, masks, effects, footage and
// nested-composition sources, changed property groups. Kept apart from the
// rest of the project file so the renderer's side stays as it was.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "project/project_model.h"

namespace sim {

struct FileFault {
  std::string where;
  std::string what;
};

// Reads the extra members of the layer object `v` at `where` into `layer`.
std::optional<FileFault> read_layer_extras(const nlohmann::json& v, const std::string& where, Layer& layer);
// Checks what names other parts of the project: nested compositions exist,
// parents are other layers of the same composition.
std::optional<FileFault> check_layer_references(const Project& project);
// Writes the extra members back (only those that differ from the defaults).
void write_layer_extras(const Layer& layer, nlohmann::json& out);

// The names of the switches a file may list, by bit.
const char* switch_name(int32_t bit);

}  // namespace sim
