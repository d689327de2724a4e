// Builders shared by the disk store tests: frames with varied pixels, whole
// files as bytes, and the log pointed at a scratch folder.
#pragma once

#include <sys/statvfs.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cache/rgba_frame.h"
#include "core/log.h"
#include "store/frame_file.h"
#include "support/scratch_dir.h"

namespace vel::test {

// Pixels that compress but are not all equal, so a wrong decode shows.
inline RgbaFrame pattern_frame(uint32_t w, uint32_t h, uint8_t seed = 1, double time = 0.0) {
  std::vector<uint8_t> px(size_t{w} * h * 4);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>((i / 7 + seed) * 13);
  return RgbaFrame{PixelPayload::adopt(std::move(px)), time, w, h};
}

// `contents` followed by their check record: a whole file as the store
// writes it.
inline std::vector<uint8_t> sealed(std::vector<uint8_t> contents) {
  const FrameCheck check = frame_check({contents});
  contents.insert(contents.end(), check.begin(), check.end());
  return contents;
}

// A whole VNF4 file.
inline std::vector<uint8_t> alias_file(FrameKey key, double time, FrameKey target) {
  const auto record = vnf4_bytes(key, time, target);
  return sealed({record.begin(), record.end()});
}

inline std::vector<uint8_t> file_bytes(const std::filesystem::path& p) {
  const std::string s = vel::testing::read_text(p);
  return {s.begin(), s.end()};
}

inline void put_file(const std::filesystem::path& p, const std::vector<uint8_t>& bytes) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The disk a file of `length` bytes takes on the volume holding `dir`: whole
// blocks of it (what `du` shows, not the length).
inline uint64_t disk_use(const std::filesystem::path& dir, uint64_t length) {
  struct statvfs st {};
  if (::statvfs(dir.c_str(), &st) != 0) return 0;
  const uint64_t block = st.f_frsize != 0 ? st.f_frsize : st.f_bsize;
  return (length + block - 1) / block * block;
}

// The plug-in's log in a scratch file for the life of the object.
class ScratchLog {
 public:
  explicit ScratchLog(const std::filesystem::path& dir) : path_(dir / "velocinta.log") {
    vel::open_log_file_at(path_, vel::LogRole::Worker);
  }
  ~ScratchLog() { vel::close_log_file(); }
  size_t count(const std::string& text) const {
    const std::string all = vel::testing::read_text(path_);
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace vel::test
