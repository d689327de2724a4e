// Text conversions at the suite boundary: the host hands names and paths out
// as NUL-terminated UTF-16 and takes paths in the same form.
#pragma once

#include <string>

#include "hostsdk/types.h"

namespace sim {

std::u16string utf8_to_utf16(const std::string& text);
// Invalid sequences become U+FFFD. Reads up to the terminating NUL, at most
// `max_units` units.
std::string utf16_to_utf8(const A_UTF16Char* text, size_t max_units = 1u << 20);

}  // namespace sim
