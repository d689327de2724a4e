// A value or an error text: how the stand-in host reports bad input files
// and failed steps without exceptions crossing its own boundaries.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace sim {

struct Failure {
  std::string text;
};
inline Failure fail(std::string text) { return Failure{std::move(text)}; }

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure f) : v_(std::in_place_index<1>, std::move(f.text)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const std::string& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, std::string> v_;
};

struct Done {};
using Status = Result<Done>;
inline Done done() { return {}; }

}  // namespace sim
