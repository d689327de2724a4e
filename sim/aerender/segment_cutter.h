// A worker that cuts its shared-memory segment while the host reads it. The
// stand-in opens the segment the manifest beside the output names before
// the module attaches (the module then removes the name); later, once the
// host took the last frame the module wrote, it cuts the file to nothing
// and grows it back at once, over and over (every 50 µs), so that the host
// meets a cut at any moment: between a look at the file's size and its next
// touch as much as anywhere. It stops when the host lets the output go (the
// host removes the manifest) and leaves the file whole.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

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

 private:
  SegmentCutter(int fd, uint64_t whole, std::string manifest)
      : fd_(fd), whole_(whole), manifest_(std::move(manifest)) {}

  int fd_ = -1;
  uint64_t whole_ = 0;  // header and payload
  std::string manifest_;
};

}  // namespace sim
