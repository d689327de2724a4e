#include "panel/update/update_version.h"

#include "panel/update/update_text.h"

namespace vel {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string_view without_leading_v(std::string_view s) {
  while (!s.empty() && (s.front() == 'v' || s.front() == 'V')) s.remove_prefix(1);
  return s;
}

}  // namespace

std::optional<VersionParts> parse_version(std::string_view text) {
  std::string_view rest = without_leading_v(trim_unicode_space(text));
  VersionParts parts{0, 0, 0, 0};
  size_t read = 0;
  for (size_t piece = 0; piece < parts.size(); ++piece) {
    const size_t dot = rest.find('.');
    const std::string_view p = rest.substr(0, dot);
    uint64_t value = 0;
    size_t digits = 0;
    bool overflow = false;
    for (; digits < p.size() && is_digit(p[digits]); ++digits) {
      const uint64_t d = static_cast<uint64_t>(p[digits] - '0');
      if (value > (UINT64_MAX - d) / 10) {
        overflow = true;
        break;
      }
      value = value * 10 + d;
    }
    if (digits == 0 || overflow) break;
    parts[read++] = value;
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  if (read == 0) return std::nullopt;
  return parts;
}

std::string normalize_version(std::string_view text) {
  return std::string(without_leading_v(trim_unicode_space(text)));
}

bool is_version_token(std::string_view line) {
  if (!line.empty() && (line.front() == 'v' || line.front() == 'V')) line.remove_prefix(1);
  if (line.empty() || !is_digit(line.front())) return false;
  bool dot = false;
  for (char c : line) {
    if (c == '.') dot = true;
    else if (!is_digit(c) && !is_letter(c) && c != '-' && c != '+') return false;
  }
  return dot;
}

}  // namespace vel
