#include "pool/decode/discovery_wake.h"

#include <gtest/gtest.h>

#include "pool/decode/output_discovery.h"

namespace vel {
namespace {

std::vector<DiscoveredFile> files_at(std::initializer_list<const char*> paths) {
  std::vector<DiscoveredFile> files;
  for (const char* p : paths) files.push_back({p, frame_number_from_file_name(p).value_or(-1), false, 0.0});
  return files;
}

// Two scans in a row: whether the second report wakes the host.
TEST(DiscoveryWake, OnlyANewFileOrADueTryAsksForAnEarlyIdleCall) {
  struct Case {
    const char* what;
    std::initializer_list<const char*> before, now;
    std::vector<FrameWait> waits;  // any order, as the supervision hands them
    uint64_t now_ns;
    bool wakes;
  };
  const Case cases[] = {
      {"an empty report", {}, {}, {}, 0, false},
      {"a file the last scan did not find", {}, {"w0/f_00001.psd"}, {}, 0, true},
      {"the same file again", {"w0/f_00001.psd"}, {"w0/f_00001.psd"}, {}, 0, false},
      {"the frame again from another worker", {"w0/f_00001.psd"}, {"w0/f_00001.psd", "w1/f_00001.psd"}, {}, 0, true},
      {"a new file of a frame with the decoders", {}, {"w0/f_00001.psd"}, {{1, kNeverDue}}, 0, false},
      {"a known file, its try not due", {"w0/f_00001.psd"}, {"w0/f_00001.psd"}, {{1, 100}}, 99, false},
      {"a known file, its try due", {"w0/f_00001.psd"}, {"w0/f_00001.psd"}, {{1, 100}}, 100, true},
      {"a new file, its frame's try not due", {}, {"w0/f_00001.psd"}, {{1, 100}}, 99, false},
      {"a due frame also with the decoders", {"w0/f_00001.psd"}, {"w0/f_00001.psd"}, {{1, 100}, {1, kNeverDue}}, 100,
       false},
      {"another frame's due try", {"w0/f_00001.psd"}, {"w0/f_00001.psd"}, {{2, 100}, {0, 0}}, 100, false},
  };
  for (const Case& c : cases) {
    ScanMemory memory;
    std::vector<FrameWait> waits = c.waits;
    settle_frame_waits(waits);
    (void)memory.note_scan(files_at(c.before), {}, 0);
    EXPECT_EQ(memory.note_scan(files_at(c.now), waits, c.now_ns), c.wakes) << c.what;
  }
}

}  // namespace
}  // namespace vel
