// How many bytes this process has read so far, by the kernel's count
// (read(2) and pread(2) of every thread): what a test of "not read" holds
// the code to, whatever the code says it did.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace vel::testing {

inline uint64_t bytes_read_by_process() {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return 0;
}

}  // namespace vel::testing
