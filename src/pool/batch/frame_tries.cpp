#include "pool/batch/frame_tries.h"

#include <iterator>
#include <string>

#include "core/log.h"

namespace vel {

FrameTries::FrameTries(std::initializer_list<std::pair<int64_t, uint32_t>> recorded) {
  for (const auto& [frame, tries] : recorded) {
    if (tries == 0) {
      note_delivered(frame);
    } else {
      failed_[frame].tries = tries;
    }
  }
}

bool FrameTries::delivered(int64_t frame) const {
  auto after = delivered_.upper_bound(frame);
  return after != delivered_.begin() && std::prev(after)->second >= frame;
}

std::optional<uint32_t> FrameTries::tries_of(int64_t frame) const {
  if (delivered(frame)) return 0u;
  if (auto it = failed_.find(frame); it != failed_.end()) return it->second.tries;
  return std::nullopt;
}

FailedRead FrameTries::note_failed_read(int64_t frame, uint64_t now_ns,
                                        const std::optional<FileChangeStamp>& undecodable) {
  if (delivered(frame)) return FailedRead::AlreadyDelivered;
  Failed& failed = failed_[frame];
  failed.retry_at_ns = now_ns + kFrameRetrySpacingNs;
  failed.undecodable = undecodable;
  uint32_t& tries = failed.tries;
  if (tries >= kFrameReadTries) {
    if (tries < UINT32_MAX) ++tries;
    return FailedRead::BeyondLimit;
  }
  ++tries;
  if (tries < kFrameReadTries) return FailedRead::Counted;
  log_line("ERROR", "pool: frame " + std::to_string(frame) + " illisible après " + std::to_string(kFrameReadTries) +
                        " essais");
  return FailedRead::GivenUp;
}

std::optional<FileChangeStamp> FrameTries::undecodable_file(int64_t frame) const {
  auto it = failed_.find(frame);
  if (it == failed_.end()) return std::nullopt;
  return it->second.undecodable;
}

bool FrameTries::retry_due(int64_t frame, uint64_t now_ns) const {
  auto it = failed_.find(frame);
  return it == failed_.end() || now_ns >= it->second.retry_at_ns;
}

void FrameTries::note_files_found(const std::set<int64_t>& found) {
  for (auto& [frame, failed] : failed_) failed.file_gone = !found.count(frame);
}

size_t FrameTries::awaiting_retry(uint64_t now_ns) const {
  size_t n = 0;
  for (const auto& [frame, failed] : failed_) {
    if (failed.tries < kFrameReadTries && !failed.file_gone && now_ns < failed.retry_at_ns + kFrameRetryStallNs) ++n;
  }
  return n;
}

bool FrameTries::any_given_up() const {
  for (const auto& [frame, failed] : failed_)
    if (failed.tries >= kFrameReadTries) return true;
  return false;
}

void FrameTries::append_waits(std::vector<FrameWait>& waits) const {
  for (const auto& [frame, failed] : failed_)
    waits.push_back(FrameWait{frame, failed.tries >= kFrameReadTries ? kNeverDue : failed.retry_at_ns});
}

void FrameTries::note_delivered_anywhere(int64_t frame) {
  auto next = delivered_.upper_bound(frame);  // the first run that starts after the frame
  if (next != delivered_.begin()) {
    auto run = std::prev(next);
    if (run->second >= frame) return;  // delivered before
    // run->second < frame here, so frame - 1 cannot overflow.
    if (run->second == frame - 1) {
      run->second = frame;
      if (next != delivered_.end() && next->first == frame + 1) {
        run->second = next->second;
        delivered_.erase(next);
      }
      failed_.erase(frame);
      ++delivered_frames_;
      return;
    }
  }
  // next->first > frame here, so frame + 1 cannot overflow.
  if (next != delivered_.end() && next->first == frame + 1) {
    auto node = delivered_.extract(next++);
    node.key() = frame;
    delivered_.insert(next, std::move(node));
  } else {
    delivered_.emplace_hint(next, frame, frame);
  }
  failed_.erase(frame);
  ++delivered_frames_;
}

bool frame_file_wanted(const FrameTries& tries, const std::set<int64_t>& handed, int64_t frame,
                       const BatchTimeBase& time, uint64_t now_ns) {
  if (handed.count(frame)) return false;
  if (const std::optional<uint32_t> t = tries.tries_of(frame); t && (*t == 0 || *t >= kFrameReadTries)) return false;
  if (!tries.retry_due(frame, now_ns)) return false;
  return batch_frame_key(time, frame).has_value();
}

}  // namespace vel
