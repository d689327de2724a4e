#include "host/utf_text.h"

namespace vel {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

struct Decoded {
  bool valid;
  char32_t cp;
  size_t length;  // bytes consumed: the sequence, or the invalid prefix (>= 1)
};

// One code point at `i`, by the maximal-subpart rule: an invalid sequence
// consumes the longest prefix that could still have begun a valid one.
Decoded decode_at(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c0 = b(i);
  if (c0 < 0x80) return {true, c0, 1};
  size_t need;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c0 >= 0xC2 && c0 <= 0xDF) {
    need = 1;
    cp = c0 & 0x1F;
  } else if (c0 >= 0xE0 && c0 <= 0xEF) {
    need = 2;
    cp = c0 & 0x0F;
    if (c0 == 0xE0) lo = 0xA0;  // overlong
    if (c0 == 0xED) hi = 0x9F;  // surrogates
  } else if (c0 >= 0xF0 && c0 <= 0xF4) {
    need = 3;
    cp = c0 & 0x07;
    if (c0 == 0xF0) lo = 0x90;  // overlong
    if (c0 == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    return {false, 0, 1};
  }
  size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= s.size()) return {false, 0, k};
    unsigned char ck = b(i + k);
    unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (ck < l || ck > h) return {false, 0, k};
    cp = (cp << 6) | (ck & 0x3F);
  }
  return {true, cp, need + 1};
}

}  // namespace

std::string utf16_to_utf8(const uint16_t* units, size_t count) {
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    char32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
        append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
        ++i;
      } else {
        append_utf8(out, kReplacement);
      }
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      append_utf8(out, kReplacement);
    } else {
      append_utf8(out, u);
    }
  }
  return out;
}

std::optional<std::u16string> utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    Decoded d = decode_at(text, i);
    if (!d.valid) return std::nullopt;
    if (d.cp >= 0x10000) {
      char32_t v = d.cp - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(d.cp));
    }
    i += d.length;
  }
  return out;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    Decoded d = decode_at(bytes, i);
    if (d.valid)
      out.append(bytes.substr(i, d.length));
    else
      append_utf8(out, kReplacement);
    i += d.length;
  }
  return out;
}

size_t bounded_length(const uint16_t* units, size_t max) {
  size_t n = 0;
  while (n < max && units[n] != 0) ++n;
  return n;
}

}  // namespace vel
