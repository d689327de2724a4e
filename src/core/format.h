// Number formatting for PERF records and status lines: floats in their
// shortest round-trip form, optional values as "Some(…)" / "None".
#pragma once

#include <optional>
#include <string>

namespace vel {

// Shortest text that reads back to the same double ("0.1", "1e21",
// "inf", "NaN"); whole values keep a ".0" ("3.0").
std::string fmt_f64(double v);
// Fixed with two decimals ("3.14").
std::string fmt_2dp(double v);
// Fixed with one decimal ("3.1").
std::string fmt_1dp(double v);

template <class T>
std::string fmt_opt(const std::optional<T>& v);

template <>
inline std::string fmt_opt(const std::optional<double>& v) {
  return v ? "Some(" + fmt_f64(*v) + ")" : "None";
}
template <class T>
std::string fmt_opt(const std::optional<T>& v) {
  return v ? "Some(" + std::to_string(*v) + ")" : "None";
}

}  // namespace vel
