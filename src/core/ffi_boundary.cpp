#include "core/ffi_boundary.h"

#include "core/log.h"

namespace vel {

void log_boundary_failure(std::string_view label, std::string_view text) {
  std::string msg = "panic capturé à la frontière FFI [";
  msg += label;
  msg += "] : ";
  msg += text;
  log_line("ERROR", msg);
}

std::string current_failure_text() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (const std::string& s) {
    return s;
  } catch (const char* s) {
    return s != nullptr ? std::string(s) : std::string("panic (payload non-string)");
  } catch (...) {
    return "panic (payload non-string)";
  }
}

}  // namespace vel
