// Per-frame read tries of a file-mode batch. A frame file that cannot be read
// or decoded stays where it is and is offered to the decoders again each time
// the discovery finds it, until 120 reads failed: then the frame is given up
// (one ERROR line) and left to a later batch. A delivered frame is recorded
// with 0 tries and is never handed over again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "pool/schedule/range_frames.h"

namespace vel {

inline constexpr uint32_t kFrameReadTries = 120;
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

  // A message without pixels: counts the failure (saturating) and logs
  // "pool: frame {} illisible après 120 essais" at ERROR on exactly the
  // 120th; a frame delivered meanwhile stays delivered.
  FailedRead note_failed_read(int64_t frame);
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

  std::map<int64_t, uint32_t> failed_;    // not delivered, with 1 or more failed reads
  std::map<int64_t, int64_t> delivered_;  // runs of delivered frames, first → last; never adjacent
  size_t delivered_frames_ = 0;
};

// Whether a discovered frame file goes to the decoders now: not while the
// frame is with them, not once it was delivered or given up, and not when
// its host time does not fit in 32 bits.
bool frame_file_wanted(const FrameTries& tries, const std::set<int64_t>& handed, int64_t frame,
                       const BatchTimeBase& time);

}  // namespace vel
