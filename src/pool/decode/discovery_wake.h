// Whether a discovery report is worth an early idle call. The host's main
// thread sleeps between its ticks; a report only wakes it for a file the
// supervision would act on at once: a file the previous scan did not find,
// or the file of a frame whose next try has just come due. A file already
// reported whose frame is with the decoders, delivered, given up or not yet
// due for its next try waits for the supervision's next tick, so a batch
// whose files are not ready costs the main thread its ticks, not a loop.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vel {

struct DiscoveredFile;

// The supervision's word on a frame it does not want now: with the
// decoders or given up (kNeverDue), or failed and tried again no sooner
// than `due_ns` (monotonic).
struct FrameWait {
  int64_t frame = 0;
  uint64_t due_ns = 0;
  friend bool operator==(const FrameWait&, const FrameWait&) = default;
};
inline constexpr uint64_t kNeverDue = UINT64_MAX;

// What one file of a report asks of the host.
enum class FileWake : uint8_t {
  AskEarly,  // new, or its frame's try is due: the supervision acts on it now
  Wait,      // known, or its frame's try is not due: the next tick is soon enough
};

// `new_file`: the previous scan did not find it. `wait`: the supervision's
// wait for its frame, null when it has none.
FileWake file_wake(bool new_file, const FrameWait* wait, uint64_t now_ns);

// The waits sorted by frame, one per frame, the later due kept.
void settle_frame_waits(std::vector<FrameWait>& waits);

// What a discovery worker keeps from one scan to the next: the names of the
// files its last scan found, sorted.
class ScanMemory {
 public:
  // Whether a report of `files` wakes the host at `now_ns` under `waits`
  // (sorted, as settle_frame_waits leaves them); the scan is remembered
  // as the last.
  bool note_scan(std::span<const DiscoveredFile> files, std::span<const FrameWait> waits, uint64_t now_ns);

 private:
  std::vector<std::string> last_;
};

}  // namespace vel
