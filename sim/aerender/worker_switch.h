// The stand-in aerender's fault switches that act on one worker only: the
// pool's command line is fixed, so they come from the environment, and a
// value "w<N>", "w<N>:<number>" or "w<N>:<word>" acts only when the output
// path's folder is "w<N>" (a replay runs under a new number, and so runs
// clean).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sim {

// The worker folder a switch is matched against: the output path's parent.
std::string worker_folder_of(const std::string& output_path);

// What follows `folder` in a value that names it: "" for a bare "<folder>",
// the text after ":" otherwise; nothing for another folder or no value.
std::optional<std::string> worker_switch_text(const std::optional<std::string>& value, const std::string& folder);

// The whole number after "<folder>:", 0 for a bare "<folder>"; nothing when
// the value names another folder or the text is not a number.
std::optional<int64_t> worker_switch_number(const std::optional<std::string>& value, const std::string& folder);

}  // namespace sim
