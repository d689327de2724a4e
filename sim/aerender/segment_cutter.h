// A worker that cuts its shared-memory segment while the host reads it. The
// stand-in opens the segment the manifest beside the output names before
// the module attaches (the module then removes the name); later, once the
// host took the last frame the module wrote, it cuts the file to nothing
// and grows it back at once, over and over (every 50 µs), so that the host
// meets a cut at any moment: between a look at the file's size and its next
// touch as much as anywhere. It stops when the host lets the output go (the
// host removes the manifest) and leaves the file whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace sim {

class SegmentCutter {
 public:
  // The segment of `output`'s manifest, or nothing (with `why`).
  static std::optional<SegmentCutter> open(const std::string& output, std::string& why);
  SegmentCutter(SegmentCutter&& other) noexcept;
  SegmentCutter& operator=(SegmentCutter&&) = delete;
  SegmentCutter(const SegmentCutter&) = delete;
  SegmentCutter& operator=(const SegmentCutter&) = delete;
  ~SegmentCutter();

  // Waits for an empty slot, then cuts as above. Then writes "aerender: the
  // segment cut under the host N times" and "aerender: the host let the
  // output go"; false (and "aerender ERROR: the host kept the output") when
  // the host did not within the stand-in's patience of 10 s.
  bool cut_while_host_reads(std::FILE* log);

  // SIM_AEIO_CUT_TO: on a thread of its own, once the slot is empty (the
  // host took any frame in it), cuts the file to `to` bytes (its whole length plus `to`
  // when negative: -1 is one byte short) and grows it back, again and again
  // (every 50 µs), while the module goes on adding frames; until
  // stop_cutting, or the host lets the output go. A cut that takes no page
  // raises no fault anywhere, and zeroes the bytes past it. Returns once the
  // first cut is made, so that every frame the module adds after is cut
  // under, however late the machine runs the thread. Writes
  // "aerender: cutting the segment to N bytes". False (with `why`) for a
  // size outside the file, a thread that cannot start, or no cut within the
  // stand-in's patience of 10 s.
  bool start_cutting(int64_t to, std::FILE* log, std::string& why);
  // Ends the cuts, leaves the file whole, and writes "aerender: the segment
  // cut to N bytes under the host K times".
  void stop_cutting(std::FILE* log);

 private:
  SegmentCutter(int fd, uint64_t whole, std::string manifest)
      : fd_(fd), whole_(whole), manifest_(std::move(manifest)) {}

  struct Cutting {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> cuts{0};
    uint64_t to = 0;
    std::thread thread;
  };

  int fd_ = -1;
  uint64_t whole_ = 0;  // header and payload
  std::string manifest_;
  std::unique_ptr<Cutting> cutting_;
};

}  // namespace sim
