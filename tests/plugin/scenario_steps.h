// Steps of the stand-in host's scenarios, and the work-area lines the
// plug-in logs, shared by the end-to-end tests that click, press keys and
// set marks.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace vel::testing {

// A scenario event: `action` with its `fields`, when `when` holds (a
// condition of the scenario's form), or at once when it is null.
inline nlohmann::json event(const nlohmann::json& when, const std::string& action,
                            nlohmann::json fields = nlohmann::json::object()) {
  fields["action"] = action;
  if (when.is_null()) {
    fields["at_ms"] = 0;
  } else {
    fields["when"] = when;
  }
  return fields;
}
inline nlohmann::json now(const std::string& action, nlohmann::json fields = nlohmann::json::object()) {
  return event(nullptr, action, std::move(fields));
}
inline nlohmann::json after_frames(int n) { return {{"frames", n}}; }

// The frames of the "workarea: IN a → OUT b" lines of a log.
inline std::vector<std::pair<int64_t, int64_t>> work_area_lines(const std::string& log) {
  std::vector<std::pair<int64_t, int64_t>> out;
  const std::regex re("workarea: IN ([0-9]+) \xE2\x86\x92 OUT ([0-9]+)");
  for (std::sregex_iterator it(log.begin(), log.end(), re), end; it != end; ++it) {
    out.emplace_back(std::stoll((*it)[1]), std::stoll((*it)[2]));
  }
  return out;
}

}  // namespace vel::testing
