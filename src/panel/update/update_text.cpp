#include "panel/update/update_text.h"

#include <cstdint>

namespace vel {
namespace {

constexpr char32_t kInvalid = 0xFFFFFFFF;

// The code point starting at `at` and its length in bytes; kInvalid with
// length 1 for a byte that does not start a valid sequence.
struct CodePoint {
  char32_t value;
  size_t length;
};

CodePoint decode_at(std::string_view s, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t b0 = byte(at);
  if (b0 < 0x80) return {b0, 1};
  size_t length = 0;
  char32_t value = 0;
  char32_t smallest = 0;
  if ((b0 & 0xE0) == 0xC0) {
    length = 2, value = b0 & 0x1F, smallest = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3, value = b0 & 0x0F, smallest = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4, value = b0 & 0x07, smallest = 0x10000;
  } else {
    return {kInvalid, 1};
  }
  if (at + length > s.size()) return {kInvalid, 1};
  for (size_t i = 1; i < length; ++i) {
    const uint8_t b = byte(at + i);
    if ((b & 0xC0) != 0x80) return {kInvalid, 1};
    value = (value << 6) | (b & 0x3F);
  }
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return {kInvalid, 1};
  return {value, length};
}

bool is_unicode_space(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// Unicode's format characters (category Cf, as of Unicode 15): invisible,
// yet they reorder, join or hide the text around them. Ranges in order.
struct Range {
  char32_t first, last;
};
constexpr Range kFormat[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
    {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x202A, 0x202E},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

bool is_format(char32_t c) {
  for (const Range& r : kFormat) {
    if (c < r.first) return false;
    if (c <= r.last) return true;
  }
  return false;
}

// C0, DEL, C1, the line and paragraph separators (a banner is one line) and
// the format characters: none belongs in a version or a link.
bool is_control(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || is_format(c);
}

}  // namespace

std::string_view trim_unicode_space(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    const CodePoint cp = decode_at(text, begin);
    if (cp.value == kInvalid || !is_unicode_space(cp.value)) break;
    begin += cp.length;
  }
  // Walking forward keeps the decoding simple; the texts are at most 64 KiB.
  size_t end = begin;
  for (size_t at = begin; at < text.size();) {
    const CodePoint cp = decode_at(text, at);
    at += cp.length;
    if (cp.value == kInvalid || !is_unicode_space(cp.value)) end = at;
  }
  return text.substr(begin, end - begin);
}

bool holds_space_or_control(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const CodePoint cp = decode_at(text, at);
    if (cp.value == kInvalid || is_control(cp.value) || is_unicode_space(cp.value)) return true;
    at += cp.length;
  }
  return false;
}

bool holds_control(std::string_view text) {
  for (size_t at = 0; at < text.size();) {
    const CodePoint cp = decode_at(text, at);
    if (cp.value == kInvalid || is_control(cp.value)) return true;
    at += cp.length;
  }
  return false;
}

}  // namespace vel
