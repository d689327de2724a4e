// The two ways the comp model writes a real number into its texts.
#pragma once

#include <string>

namespace vel {

// Shortest decimal that reads back to the same value, never with an
// exponent, without a fractional part when whole: 5, 2.5, 0.0001, NaN, inf,
// -inf. The form of every number inside an `unsupported` text.
std::string display_real(double v);

// The debug form: shortest round trip, always with a fractional part (1.0,
// 0.5), in exponent form below 1e-4 or from 1e16 up (1e-5, 1.5e16). The
// single-precision form keeps the shortest text of the float itself.
std::string debug_real(double v);
std::string debug_real(float v);

}  // namespace vel
