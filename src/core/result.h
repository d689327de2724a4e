// Result<T, E>: a value or an error, the way failures travel in velocinta.
// No exception crosses a host callback, a thread body or a channel; code that
// can fail returns one of these. E defaults to a text meant for the log.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vel {

template <class E>
struct Err {
  E error;
};
template <class E>
Err(E) -> Err<E>;
inline Err<std::string> err(std::string text) { return Err<std::string>{std::move(text)}; }

template <class T, class E = std::string>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class F, class = std::enable_if_t<std::is_constructible_v<E, F>>>
  Result(Err<F> e) : v_(std::in_place_index<1>, E(std::move(e.error))) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const E& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

// Success without a value.
struct Unit {};
template <class E = std::string>
using Status = Result<Unit, E>;
inline Unit ok_unit() { return {}; }

}  // namespace vel
