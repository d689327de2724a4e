// Reading and disposing of the texts the host hands back in memory handles.
// For the host access layer only.
#pragma once

#include <string>

#include "core/result.h"
#include "host/ae_error.h"
#include "host/suite_access.h"

namespace vel {

// The handle's zero-terminated UTF-16 text as UTF-8 (lone surrogates
// replaced). Never reads past the handle's size. The handle is freed on
// every path; a null handle is the empty text.
Result<std::string, AeError> take_utf16_text(const AEGP_MemorySuite1& mem, AEGP_MemHandle handle);

// The handle's zero-terminated bytes as UTF-8, invalid sequences replaced.
// Same bounds and disposal as above.
Result<std::string, AeError> take_byte_text(const AEGP_MemorySuite1& mem, AEGP_MemHandle handle);

}  // namespace vel
