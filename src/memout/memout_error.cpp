#include "memout/memout_error.h"

#include <cstring>

namespace vel {

Err<MemoutError> memout_os_failure(int errno_value) {
  std::string text = std::strerror(errno_value);
  text += " (os error " + std::to_string(errno_value) + ")";
  return Err<MemoutError>{MemoutError{MemoutErrorKind::Os, errno_value, std::move(text)}};
}

}  // namespace vel
