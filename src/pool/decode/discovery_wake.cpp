#include "pool/decode/discovery_wake.h"

#include <algorithm>

#include "pool/decode/output_discovery.h"

namespace vel {

FileWake file_wake(bool new_file, const FrameWait* wait, uint64_t now_ns) {
  if (wait) return now_ns >= wait->due_ns && wait->due_ns != kNeverDue ? FileWake::AskEarly : FileWake::Wait;
  return new_file ? FileWake::AskEarly : FileWake::Wait;
}

void settle_frame_waits(std::vector<FrameWait>& waits) {
  std::sort(waits.begin(), waits.end(), [](const FrameWait& a, const FrameWait& b) {
    return a.frame != b.frame ? a.frame < b.frame : a.due_ns > b.due_ns;
  });
  waits.erase(std::unique(waits.begin(), waits.end(),
                          [](const FrameWait& a, const FrameWait& b) { return a.frame == b.frame; }),
              waits.end());
}

bool ScanMemory::note_scan(std::span<const DiscoveredFile> files, std::span<const FrameWait> waits, uint64_t now_ns) {
  std::vector<std::string> names;
  names.reserve(files.size());
  for (const DiscoveredFile& f : files) names.push_back(f.path.string());
  std::sort(names.begin(), names.end());
  bool wake = false;
  for (const DiscoveredFile& f : files) {
    auto w = std::lower_bound(waits.begin(), waits.end(), f.frame,
                              [](const FrameWait& x, int64_t frame) { return x.frame < frame; });
    const FrameWait* wait = w != waits.end() && w->frame == f.frame ? &*w : nullptr;
    const bool new_file = !std::binary_search(last_.begin(), last_.end(), f.path.string());
    if (file_wake(new_file, wait, now_ns) == FileWake::AskEarly) {
      wake = true;
      break;
    }
  }
  last_ = std::move(names);
  return wake;
}

}  // namespace vel
