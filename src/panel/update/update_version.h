// Version texts of the update service: reading them into comparable
// components, their shown form, and the shape a bare version reply must have.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vel {

// major, minor, patch, fourth; compared lexicographically.
using VersionParts = std::array<uint64_t, 4>;

// Leading digits of up to four "."-separated pieces after white space and
// every leading "v"/"V" are removed. A piece without a leading digit, or one
// that overflows 64 bits, ends the reading; what was read stands, padded
// with zeros. None when no component could be read ("beta").
std::optional<VersionParts> parse_version(std::string_view text);

// `text` trimmed of white space, with every leading "v" or "V" removed.
std::string normalize_version(std::string_view text);

// True when `line` is one version token: an optional "v"/"V", a digit, then
// only ASCII digits, letters, ".", "-" and "+", with at least one ".". Keeps
// error pages ("404 page not found", "502 Bad Gateway", a bare "404") from
// being read as versions.
bool is_version_token(std::string_view line);

}  // namespace vel
