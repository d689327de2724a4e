// Cost profiles: the five measured render costs of one composition (ms per
// downsample step, in the controller's slot order), kept as a compact JSON
// array in "cost-fast-v1" so a later activation starts from measured costs.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vel {

namespace fs = std::filesystem;

using CostFigures = std::array<std::optional<double>, 5>;

inline constexpr uint64_t kCostProfileFileLimit = 4096;

// A figure counts when it is finite and 30 < x ≤ 600000.
bool cost_figure_counts(double ms);

// "[null,125.5,null,2400.0,null]": numbers where a figure counts, null
// elsewhere; none when not one counts (an existing file then stays).
std::optional<std::string> write_cost_profile(const CostFigures& figures);

// The figures of a profile's text; every slot none for anything that is not
// one JSON array (whitespace around it allowed). Elements past the fifth are
// ignored; an element that is not a counting number leaves its slot none.
CostFigures read_cost_profile(std::string_view text);

// "cost-fast-v1" / sanitize_file_stem(key) + ".json" under `app_support`.
fs::path cost_profile_file(const fs::path& app_support, std::string_view comp_key);

// The profile at `path`: read whole up to 4096 bytes, valid UTF-8, parsed;
// every slot none when any of that fails.
CostFigures load_cost_profile(const fs::path& path);

}  // namespace vel
