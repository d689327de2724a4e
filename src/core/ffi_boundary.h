// The failure boundary at every entry from the host (hooks, commands, panel
// hook, output module callbacks): whatever escapes the body is caught and
// logged, and the host gets the answer the caller chose for that case.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace vel {

// Logs "panic capturé à la frontière FFI [<label>] : <text>" at ERROR.
void log_boundary_failure(std::string_view label, std::string_view text);

// Text of the exception being handled ("panic (payload non-string)" when it
// carries none). Call only inside a catch block.
std::string current_failure_text();

// Runs `body`; on an escaping exception logs it and returns `on_failure`.
template <class R, class F>
R ffi_boundary(std::string_view label, R on_failure, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    try {
      log_boundary_failure(label, current_failure_text());
    } catch (...) {
    }
    return on_failure;
  }
}

}  // namespace vel
