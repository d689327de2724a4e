// Helpers of the packing, unpacking and registry tests.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cache/pixel_payload.h"
#include "cache/rgba_frame.h"

#include "core/log.h"
#include "core/repeat_log.h"

namespace vel::testing {

class LogCapture {
 public:
  LogCapture() : path_(std::filesystem::temp_directory_path() / ("vel-cacheB-log-" + std::to_string(getpid()) + "-" + std::to_string(counter()++) + ".log")) {
    forget_repeated_failures();  // each capture sees a failure's first line
    std::filesystem::remove(path_);
    open_log_file_at(path_, LogRole::Host);
  }
  ~LogCapture() {
    close_log_file();
    std::filesystem::remove(path_);
  }
  std::string text() const {
    std::ifstream in(path_);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }

 private:
  static int& counter() {
    static int n = 0;
    return n;
  }
  std::filesystem::path path_;
};

// A w × h frame that LZ4 packs well: a gradient with a seed-dependent offset.
inline RgbaFrame gradient_frame(uint32_t w, uint32_t h, uint8_t seed, double time = 0.0) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>((i / 64 + seed) & 0xff);
  return RgbaFrame{PixelPayload::adopt(std::move(px)), time, w, h};
}

// A w × h frame of noise that LZ4 cannot shrink.
inline RgbaFrame noise_frame(uint32_t w, uint32_t h, uint32_t seed) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : px) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return RgbaFrame{PixelPayload::adopt(std::move(px)), 0.0, w, h};
}

}  // namespace vel::testing
