#include "preview/grab_ppm.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <system_error>

namespace vel {

std::vector<uint8_t> ppm_bytes(std::span<const uint8_t> rgba, uint32_t width, uint32_t height) {
  const uint64_t pixels = static_cast<uint64_t>(width) * height;
  if (pixels == 0 || rgba.size() / 4 != pixels || rgba.size() % 4 != 0) return {};
  const std::string header = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  std::vector<uint8_t> out;
  out.reserve(header.size() + pixels * 3);
  out.insert(out.end(), header.begin(), header.end());
  for (uint64_t i = 0; i < pixels; ++i) {
    const uint8_t* p = rgba.data() + i * 4;
    out.push_back(p[0]);
    out.push_back(p[1]);
    out.push_back(p[2]);
  }
  return out;
}

}  // namespace vel
