#include "pool/memory_output_token.h"

namespace vel {

std::atomic<uint32_t>& memory_output_in_use() {
  static std::atomic<uint32_t> word{0};
  return word;
}

bool claim_memory_output_token() {
  uint32_t expected = 0;
  return memory_output_in_use().compare_exchange_strong(expected, 1, std::memory_order_acq_rel);
}

void release_memory_output_token() { memory_output_in_use().store(0, std::memory_order_release); }

}  // namespace vel
