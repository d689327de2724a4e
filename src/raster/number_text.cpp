#include "raster/number_text.h"

#include <charconv>
#include <cmath>

namespace vel {
namespace {

std::string non_finite(double v) {
  if (std::isnan(v)) return "NaN";
  return v > 0 ? "inf" : "-inf";
}

// "1.5e-05" → "1.5e-5", "1e+16" → "1e16": exponent without sign or padding.
std::string tidy_exponent(std::string s) {
  size_t e = s.find('e');
  if (e == std::string::npos) return s;
  std::string mantissa = s.substr(0, e);
  std::string exp = s.substr(e + 1);
  bool negative = !exp.empty() && exp[0] == '-';
  if (!exp.empty() && (exp[0] == '-' || exp[0] == '+')) exp.erase(0, 1);
  size_t nz = exp.find_first_not_of('0');
  exp = nz == std::string::npos ? "0" : exp.substr(nz);
  return mantissa + "e" + (negative ? "-" : "") + exp;
}

template <class F>
std::string debug_form(F v) {
  if (!std::isfinite(v)) return non_finite(static_cast<double>(v));
  const F mag = std::fabs(v);
  char buf[64];
  const bool exponent = mag != 0 && (mag < F(1e-4) || mag >= F(1e16));
  auto res = std::to_chars(buf, buf + sizeof buf, v, exponent ? std::chars_format::scientific : std::chars_format::fixed);
  std::string s(buf, res.ptr);
  if (exponent) return tidy_exponent(std::move(s));
  if (s.find('.') == std::string::npos) s += ".0";
  return s;
}

}  // namespace

std::string display_real(double v) {
  if (!std::isfinite(v)) return non_finite(v);
  // The largest double written out in full takes 309 digits.
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

std::string debug_real(double v) { return debug_form(v); }
std::string debug_real(float v) { return debug_form(v); }

}  // namespace vel
