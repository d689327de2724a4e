// Text conversions at the host boundary: the host speaks UTF-16 for names
// and paths and hands back script output as bytes that may not be UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vel {

// UTF-16 code units to UTF-8. A lone or reversed surrogate becomes U+FFFD;
// never fails.
std::string utf16_to_utf8(const uint16_t* units, size_t count);

// UTF-8 to UTF-16 code units; none when `text` is not valid UTF-8
// (overlong forms, surrogates and values past U+10FFFF included).
std::optional<std::u16string> utf8_to_utf16(std::string_view text);

// `bytes` as UTF-8, each invalid sequence (its longest valid prefix)
// replaced by U+FFFD; valid input comes back unchanged.
std::string utf8_lossy(std::string_view bytes);

// Length of a zero-terminated run of at most `max` units (max when no zero).
size_t bounded_length(const uint16_t* units, size_t max);

}  // namespace vel
