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

Status<> write_file_atomically(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  std::filesystem::path tmp = path;
  tmp += ".tmp-" + std::to_string(::getpid());
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (f == nullptr) return err("cannot create " + tmp.string());
  const bool wrote = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const bool closed = std::fclose(f) == 0;
  std::error_code ec;
  if (!wrote || !closed) {
    std::filesystem::remove(tmp, ec);
    return err("cannot write " + tmp.string());
  }
  std::filesystem::rename(tmp, path, ec);
  if (ec) {
    std::filesystem::remove(tmp, ec);
    return err("cannot rename to " + path.string());
  }
  return ok_unit();
}

}  // namespace vel
