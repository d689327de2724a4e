// The process-wide memory-output token: at most one shared-memory output
// exists per host process. The memory-mode launch claims it before it
// creates a segment; the output's reader (or the drop of a reader that never
// ran) gives it back.
#pragma once

#include <atomic>
#include <cstdint>

namespace vel {

// 0 free, 1 held.
std::atomic<uint32_t>& memory_output_in_use();

// 0 → 1 by compare-and-swap; false while another output holds it.
bool claim_memory_output_token();

void release_memory_output_token();

}  // namespace vel
