#include "panel/present/present_bytes.h"

namespace vel {

std::atomic<uint64_t>& present_pixel_bytes() {
  static std::atomic<uint64_t>& bytes = *new std::atomic<uint64_t>(0);
  return bytes;
}

}  // namespace vel
