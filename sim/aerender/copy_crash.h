// The crash of a worker in the middle of a frame's copy into the shared
// slot: the frame's pixels lie in memory whose middle page the host
// withholds, so the module's copy stalls there with the slot held at
// "writing"; a second thread then kills the process, leaving the slot at 1
// for the consumer to cope with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace sim {

// Pixels a module's copy cannot get through: `len` bytes, page aligned, of
// which a page in the middle faults. Unmapped when dropped.
class StallingPixels {
 public:
  explicit StallingPixels(size_t len);
  ~StallingPixels();
  StallingPixels(const StallingPixels&) = delete;
  StallingPixels& operator=(const StallingPixels&) = delete;

  uint8_t* data() const { return bytes_; }
  // Fills from `src`, then withholds the middle page.
  void fill_and_withhold(const uint8_t* src);

 private:
  uint8_t* bytes_ = nullptr;
  size_t len_ = 0;
  size_t mapped_ = 0;
};

// A thread that fault on withheld pixels stays there; a watcher thread then
// writes the slot state of the mapped output segment to `log` and raises
// SIGKILL.
void arm_copy_crash(std::FILE* log);

}  // namespace sim
