// The scenario's marks in a stand-in host's summary, by name.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace vel::testing {

// The first mark named `name`, or null.
inline const nlohmann::json* find_mark(const nlohmann::json& summary, const std::string& name) {
  for (const nlohmann::json& m : summary.at("marks")) {
    if (m.at("name") == name) return &m;
  }
  return nullptr;
}

}  // namespace vel::testing
