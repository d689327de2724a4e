// Per-frame read tries of a file-mode batch. A frame file that cannot be read
// or decoded (or was changed too lately to be read) stays where it is and is
// offered to the decoders again when the discovery finds it, no sooner than
// a spacing after its last failure, until 120 reads failed: then the frame
// is given up (one ERROR line). The tries are there to keep the pool from
// retrying for ever, not to give up within a tick: spaced, the first try and
// the 120th lie three seconds apart at the least, so a file its worker
// completes within that time of its first try is taken. A file that gave no
// frame as it stood (read whole, or too large to be a frame) goes with the
// frame's next try, which only looks at it while it stands so: its tries
// cost no read and still count. A delivered frame is recorded with 0 tries
// and is never handed over again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "core/change_stamp.h"
#include "pool/decode/discovery_wake.h"
#include "pool/schedule/range_frames.h"

namespace vel {

inline constexpr uint32_t kFrameReadTries = 120;
// The least time from a frame's first try to its last.
inline constexpr uint64_t kFrameTriesSpanNs = 3'000'000'000;
// The least time between a failed read of a frame and its next try: the
// span over the 119 gaps between 120 tries, rounded up (25.2 ms).
inline constexpr uint64_t kFrameRetrySpacingNs = (kFrameTriesSpanNs + kFrameReadTries - 2) / (kFrameReadTries - 1);
static_assert(kFrameRetrySpacingNs * (kFrameReadTries - 1) >= kFrameTriesSpanNs);
// A retry due this long without coming (its file no longer found, the
// discovery gone) is no longer awaited.
inline constexpr uint64_t kFrameRetryStallNs = 1'000'000'000;
// At most this many frame files are handed to the decoders per call.
inline constexpr size_t kFramesHandedPerCall = 32;

enum class FailedRead : uint8_t {
  Counted,           // one more failure, below the limit: the file is read again later
  GivenUp,           // this failure reached 120: logged now, once
  BeyondLimit,       // the frame was given up already
  AlreadyDelivered,  // a late failure of a frame delivered meanwhile: it stays delivered
};

// Frame index → failed reads; 0 once delivered. Each worker delivers its
// range in frame order, so the delivered frames are kept as runs of
// consecutive frames: a frame that extends its worker's run costs no
// allocation and no walk down a batch-sized tree.
class FrameTries {
 public:
  FrameTries() = default;
  // Frames with their tries, 0 for a delivered one.
  FrameTries(std::initializer_list<std::pair<int64_t, uint32_t>> recorded);

  // Its failed reads, 0 once delivered; nothing while neither happened.
  std::optional<uint32_t> tries_of(int64_t frame) const;
  // 1 when the frame was tried or delivered, else 0.
  size_t count(int64_t frame) const { return tries_of(frame) ? 1 : 0; }
  // How many frames were tried or delivered.
  size_t size() const { return failed_.size() + delivered_frames_; }
  bool empty() const { return size() == 0; }

  // A message without pixels, booked at `now_ns` (monotonic): counts the
  // failure (saturating) and logs "pool: frame {} illisible après 120
  // essais" at ERROR on exactly the 120th; a frame delivered meanwhile stays
  // delivered. The next try is due a spacing later. `undecodable` is the
  // file the try found giving no frame as it stands, when it did.
  FailedRead note_failed_read(int64_t frame, uint64_t now_ns = 0,
                              const std::optional<FileChangeStamp>& undecodable = std::nullopt);
  // The file the frame's last try found giving no frame: its next try does
  // not read it again while it stands so, and counts all the same.
  std::optional<FileChangeStamp> undecodable_file(int64_t frame) const;
  // Whether a frame with failed reads may be tried again at `now_ns`.
  bool retry_due(int64_t frame, uint64_t now_ns) const;
  // The frames whose files a scan found: a failed frame whose file is gone
  // is no longer awaited, one whose file is back is again.
  void note_files_found(const std::set<int64_t>& found);
  // How many frames with failed reads, neither delivered nor given up, still
  // wait for their next try at `now_ns`: their file was found by the latest
  // scan and the try is not overdue by more than kFrameRetryStallNs. The
  // batch stays open for them.
  size_t awaiting_retry(uint64_t now_ns) const;
  // Whether a frame was given up.
  bool any_given_up() const;
  // Appends each frame with failed reads, neither delivered nor given up,
  // with the time its next try is due; a given-up frame is never due.
  void append_waits(std::vector<FrameWait>& waits) const;
  // A frame that reached the cache (or could not, having no host time).
  // Inline for the usual case, the next frame of the newest run.
  void note_delivered(int64_t frame) {
    if (!delivered_.empty() && failed_.empty()) {
      int64_t& last = std::prev(delivered_.end())->second;
      if (last < frame && last == frame - 1) {  // the first test keeps frame - 1 from overflowing
        last = frame;
        ++delivered_frames_;
        return;
      }
    }
    note_delivered_anywhere(frame);
  }

  friend bool operator==(const FrameTries&, const FrameTries&) = default;

 private:
  bool delivered(int64_t frame) const;
  void note_delivered_anywhere(int64_t frame);

  struct Failed {
    uint32_t tries = 0;
    uint64_t retry_at_ns = 0;
    bool file_gone = false;
    std::optional<FileChangeStamp> undecodable;
    friend bool operator==(const Failed&, const Failed&) = default;
  };
  std::map<int64_t, Failed> failed_;      // not delivered, with 1 or more failed reads
  std::map<int64_t, int64_t> delivered_;  // runs of delivered frames, first → last; never adjacent
  size_t delivered_frames_ = 0;
};

// Whether a discovered frame file goes to the decoders at `now_ns`: not
// while the frame is with them, not once it was delivered or given up, not
// before its retry is due, and not when its host time does not fit in 32
// bits.
bool frame_file_wanted(const FrameTries& tries, const std::set<int64_t>& handed, int64_t frame,
                       const BatchTimeBase& time, uint64_t now_ns = UINT64_MAX);

}  // namespace vel
