// Writes a test's hand-made bytes to a file, replacing what it held.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <vector>

namespace vel::testing {

inline void write_file(const std::filesystem::path& p, const std::vector<uint8_t>& b) {
  std::ofstream(p, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

}  // namespace vel::testing
