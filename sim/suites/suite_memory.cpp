#include <cstring>

#include "hostsdk/memory_suite.h"
#include "simhost/host.h"
#include "suites/suites.h"
#include "suites/utf16.h"

namespace sim {
namespace {

constexpr AEGP_MemSize kMaxHandleBytes = 1ull << 32;

A_Err NewMemHandle(AEGP_PluginID, const A_char*, AEGP_MemSize size, AEGP_MemFlag, AEGP_MemHandle* handle) {
  SIM_FAULT_POINT();
  if (!handle) return A_Err_PARAMETER;
  *handle = nullptr;
  if (size > kMaxHandleBytes) return A_Err_ALLOC;
  auto block = std::make_unique<MemBlock>();
  try {
    block->bytes.assign(static_cast<size_t>(size), 0);  // cleared whatever the flags say
  } catch (const std::bad_alloc&) {
    return A_Err_ALLOC;
  }
  *handle = reinterpret_cast<AEGP_MemHandle>(host().memory.add(std::move(block)));
  return A_Err_NONE;
}

A_Err FreeMemHandle(AEGP_MemHandle handle) {
  SIM_FAULT_POINT();
  if (host().memory.take(handle)) return A_Err_NONE;
  host().bad_mem_frees.fetch_add(1, std::memory_order_relaxed);  // stale, foreign or freed twice
  return A_Err_PARAMETER;
}

A_Err LockMemHandle(AEGP_MemHandle handle, void** ptr) {
  SIM_FAULT_POINT();
  if (!ptr) return A_Err_PARAMETER;
  *ptr = nullptr;
  MemBlock* b = host().memory.find(handle);
  if (!b) return A_Err_PARAMETER;
  ++b->locks;
  *ptr = b->bytes.data();
  return A_Err_NONE;
}

A_Err UnlockMemHandle(AEGP_MemHandle handle) {
  SIM_FAULT_POINT();
  MemBlock* b = host().memory.find(handle);
  if (!b || b->locks <= 0) return A_Err_PARAMETER;
  --b->locks;
  return A_Err_NONE;
}

A_Err GetMemHandleSize(AEGP_MemHandle handle, AEGP_MemSize* size) {
  SIM_FAULT_POINT();
  if (!size) return A_Err_PARAMETER;
  MemBlock* b = host().memory.find(handle);
  if (!b) return A_Err_PARAMETER;
  *size = b->bytes.size();
  return A_Err_NONE;
}

const AEGP_MemorySuite1 kSuite = {NewMemHandle, FreeMemHandle, LockMemHandle, UnlockMemHandle, GetMemHandleSize};

}  // namespace

const AEGP_MemorySuite1* memory_suite_table() { return &kSuite; }

void publish_memory_suite(SuiteRegistry& r) { r.publish(kAEGPMemorySuite, kAEGPMemorySuiteVersion1, &kSuite); }

AEGP_MemHandle new_mem_handle(const void* bytes, size_t size) {
  auto block = std::make_unique<MemBlock>();
  block->bytes.resize(size);
  if (size) std::memcpy(block->bytes.data(), bytes, size);
  return reinterpret_cast<AEGP_MemHandle>(host().memory.add(std::move(block)));
}

AEGP_MemHandle new_utf16_handle(const std::string& text) {
  std::u16string u = utf8_to_utf16(text);
  u.push_back(u'\0');
  return new_mem_handle(u.data(), u.size() * sizeof(char16_t));
}

}  // namespace sim
