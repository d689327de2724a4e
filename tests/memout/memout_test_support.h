// Helpers shared by the transport's tests: a scratch folder, a forked child
// bounded in time and always reaped, and synthetic host frames.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/paths.h"
#include "memout/argb_convert.h"
#include "memout/shm_segment.h"
#include "support/scratch_dir.h"

namespace vel::testing {

// A child process running `body` (its return value is the exit status). The
// child always leaves through _exit and is killed by SIGALRM after
// `alarm_s`; the parent kills and reaps it by pid if the test ends first.
class ForkedChild {
 public:
  template <class Body>
  explicit ForkedChild(Body body, unsigned alarm_s = 20) {
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      alarm(alarm_s);
      int code = 100;
      try {
        code = body();
      } catch (...) {
        code = 101;
      }
      _exit(code);
    }
  }
  ~ForkedChild() { kill_and_reap(); }
  ForkedChild(const ForkedChild&) = delete;
  ForkedChild& operator=(const ForkedChild&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }

  // The raw wait status once the child ended within `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
      int st = 0;
      const pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        status_ = st;
        return status_;
      }
      if (r < 0 || std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::nullopt;
  }
  // Exit code of a child that left normally within `timeout`, else -1.
  int exit_code(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto st = wait(timeout);
    return st && WIFEXITED(*st) ? WEXITSTATUS(*st) : -1;
  }
  void kill_and_reap() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      int st = 0;
      waitpid(pid_, &st, 0);
      status_ = st;
    }
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Entries of /dev/shm whose name starts with `prefix` (without the slash).
inline std::vector<std::string> shm_entries(const std::string& prefix) {
  std::vector<std::string> out;
  if (DIR* d = opendir("/dev/shm")) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n.compare(0, prefix.size(), prefix) == 0) out.push_back(n);
    }
    closedir(d);
  }
  return out;
}
// A shared word of the header as the host reads it; all ones when the file
// no longer holds it.
inline uint32_t header_word(const SharedMemorySegment& segment, HeaderWord word) {
  auto value = segment.load_word(word);
  return value ? *value : UINT32_MAX;
}

inline bool shm_exists(const std::string& mapping_name) {
  return access(("/dev/shm" + mapping_name).c_str(), F_OK) == 0;
}
// Segment names this process created: "vnx_" + pid in 8 hex digits.
inline std::string own_segment_prefix() {
  char buf[32];
  std::snprintf(buf, sizeof buf, "vnx_%08x_", static_cast<unsigned>(getpid()));
  return buf;
}

// A host ARGB frame whose bytes depend on the frame number, with `pad`
// spare bytes after each row (filled with junk that must never show).
struct ArgbImage {
  uint32_t width = 0;
  uint32_t height = 0;
  uint64_t row_bytes = 0;
  std::vector<uint8_t> bytes;
};
inline ArgbImage make_argb(uint32_t width, uint32_t height, uint64_t pad, uint32_t seed) {
  ArgbImage img{width, height, uint64_t{width} * 4 + pad, {}};
  img.bytes.assign(img.row_bytes * height, 0xEE);
  uint32_t x = seed * 2654435761u + 1;
  for (uint32_t r = 0; r < height; ++r) {
    for (uint64_t c = 0; c < uint64_t{width} * 4; ++c) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      img.bytes[r * img.row_bytes + c] = static_cast<uint8_t>(x);
    }
  }
  return img;
}
// The expected RGBA bytes, written straight from the formula.
inline std::vector<uint8_t> expected_rgba(const ArgbImage& img, bool premultiply) {
  std::vector<uint8_t> out;
  out.reserve(uint64_t{img.width} * img.height * 4);
  for (uint32_t r = 0; r < img.height; ++r) {
    for (uint32_t c = 0; c < img.width; ++c) {
      const uint8_t* p = &img.bytes[r * img.row_bytes + uint64_t{c} * 4];
      const uint8_t a = p[0];
      for (int ch = 1; ch <= 3; ++ch) {
        out.push_back(premultiply ? static_cast<uint8_t>((p[ch] * a + 127) / 255) : p[ch]);
      }
      out.push_back(a);
    }
  }
  return out;
}

}  // namespace vel::testing
