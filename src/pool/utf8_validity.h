// Whether bytes read from the file system (file and folder names) are valid
// UTF-8: the pool skips names that are not, as the host's tools would.
#pragma once

#include <cstdint>
#include <string_view>

namespace vel {

inline bool valid_utf8(std::string_view s) {
  constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1, cp = c & 0x1Fu;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2, cp = c & 0x0Fu;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3, cp = c & 0x07u;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (size_t k = 1; k <= n; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3Fu);
    }
    if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

}  // namespace vel
