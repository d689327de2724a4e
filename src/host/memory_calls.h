// Host memory handles: lock, unlock, free, size, and the texts the host
// returns in them.
#pragma once

#include <cstdint>
#include <string>

#include "core/result.h"
#include "host/ae_error.h"
#include "host/handles.h"

namespace vel {

// The address of the handle's bytes, valid until the matching unlock.
Result<void*, AeError> lock_mem_handle(MemHandle handle);
Status<AeError> unlock_mem_handle(MemHandle handle);
// Frees the handle; the caller must not use it afterwards, even on error.
Status<AeError> free_mem_handle(MemHandle handle);
Result<uint64_t, AeError> mem_handle_size(MemHandle handle);

}  // namespace vel
