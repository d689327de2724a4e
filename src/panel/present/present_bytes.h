// present_pixel_bytes: the pixel bytes that presentation holds (prepared
// frames, scratch and output buffers, bitmaps), so the frame cache gives way
// to them. Each holder keeps what it has counted and moves the counter by the
// difference when its bytes change; destroying the holder takes its count
// back out.
#pragma once

#include <atomic>
#include <cstdint>

namespace vel {

std::atomic<uint64_t>& present_pixel_bytes();

// a + b, saturating at the 64-bit maximum.
inline uint64_t saturating_sum(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

class PresentByteCount {
 public:
  explicit PresentByteCount(std::atomic<uint64_t>& counter = present_pixel_bytes()) : counter_(&counter) {}
  ~PresentByteCount() { recount(0); }
  PresentByteCount(const PresentByteCount&) = delete;
  PresentByteCount& operator=(const PresentByteCount&) = delete;

  // The holder now has `bytes`: move the counter by the change.
  void recount(uint64_t bytes) {
    if (bytes >= counted_) {
      counter_->fetch_add(bytes - counted_, std::memory_order_relaxed);
    } else {
      counter_->fetch_sub(counted_ - bytes, std::memory_order_relaxed);
    }
    counted_ = bytes;
  }
  uint64_t counted() const { return counted_; }

 private:
  std::atomic<uint64_t>* counter_;
  uint64_t counted_ = 0;
};

}  // namespace vel
