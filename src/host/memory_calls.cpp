#include "host/memory_calls.h"

#include <cstring>
#include <vector>

#include "host/mem_text.h"
#include "host/utf_text.h"

namespace vel {

Result<void*, AeError> lock_mem_handle(MemHandle handle) {
  VEL_TRY_SUITE(mem, AEGP_MemorySuite1);
  void* ptr = nullptr;
  if (auto st = check_ae(mem->LockMemHandle(handle, &ptr)); !st) return Err{st.error()};
  if (!ptr) {
    mem->UnlockMemHandle(handle);
    return Err{AeError::internal("LockMemHandle: null address")};
  }
  return ptr;
}

Status<AeError> unlock_mem_handle(MemHandle handle) {
  VEL_TRY_SUITE(mem, AEGP_MemorySuite1);
  return check_ae(mem->UnlockMemHandle(handle));
}

Status<AeError> free_mem_handle(MemHandle handle) {
  VEL_TRY_SUITE(mem, AEGP_MemorySuite1);
  return check_ae(mem->FreeMemHandle(handle));
}

Result<uint64_t, AeError> mem_handle_size(MemHandle handle) {
  VEL_TRY_SUITE(mem, AEGP_MemorySuite1);
  AEGP_MemSize size = 0;
  if (auto st = check_ae(mem->GetMemHandleSize(handle, &size)); !st) return Err{st.error()};
  return static_cast<uint64_t>(size);
}

namespace {

// Copies the handle's bytes out (locked only for the copy), then frees it.
Result<std::vector<unsigned char>, AeError> take_bytes(const AEGP_MemorySuite1& mem, AEGP_MemHandle handle) {
  std::vector<unsigned char> bytes;
  if (!handle) return bytes;
  AEGP_MemSize size = 0;
  void* ptr = nullptr;
  A_Err rc = mem.GetMemHandleSize(handle, &size);
  if (rc == A_Err_NONE) rc = mem.LockMemHandle(handle, &ptr);
  if (rc == A_Err_NONE) {
    if (ptr && size > 0) {
      bytes.resize(static_cast<size_t>(size));
      std::memcpy(bytes.data(), ptr, bytes.size());
    }
    mem.UnlockMemHandle(handle);
  }
  mem.FreeMemHandle(handle);
  if (rc != A_Err_NONE) return Err{map_ae_error(rc)};
  return bytes;
}

}  // namespace

Result<std::string, AeError> take_utf16_text(const AEGP_MemorySuite1& mem, AEGP_MemHandle handle) {
  auto bytes = take_bytes(mem, handle);
  if (!bytes) return Err{bytes.error()};
  const auto& b = bytes.value();
  std::vector<uint16_t> units(b.size() / 2);
  if (!units.empty()) std::memcpy(units.data(), b.data(), units.size() * 2);
  return utf16_to_utf8(units.data(), bounded_length(units.data(), units.size()));
}

Result<std::string, AeError> take_byte_text(const AEGP_MemorySuite1& mem, AEGP_MemHandle handle) {
  auto bytes = take_bytes(mem, handle);
  if (!bytes) return Err{bytes.error()};
  const auto& b = bytes.value();
  size_t n = 0;
  while (n < b.size() && b[n] != 0) ++n;
  return utf8_lossy(std::string_view(reinterpret_cast<const char*>(b.data()), n));
}

}  // namespace vel
