// Errors of the shared-memory transport: a message (the text callers log)
// and a kind, so a caller can tell a timeout or a closed peer from bad data
// without matching on the text.
#pragma once

#include <string>

#include "core/result.h"

namespace vel {

enum class MemoutErrorKind {
  InvalidData,
  TimedOut,
  BrokenPipe,
  Interrupted,
  OutOfMemory,
  Os,  // `os_code` holds the errno value
};

struct MemoutError {
  MemoutErrorKind kind = MemoutErrorKind::InvalidData;
  int os_code = 0;
  std::string message;
};

template <class T>
using MemoutResult = Result<T, MemoutError>;
using MemoutStatus = Result<Unit, MemoutError>;

inline Err<MemoutError> memout_fail(MemoutErrorKind kind, std::string message) {
  return Err<MemoutError>{MemoutError{kind, 0, std::move(message)}};
}
inline Err<MemoutError> memout_invalid(std::string message) {
  return memout_fail(MemoutErrorKind::InvalidData, std::move(message));
}
// An operating-system failure, worded "<strerror> (os error N)".
Err<MemoutError> memout_os_failure(int errno_value);

}  // namespace vel
