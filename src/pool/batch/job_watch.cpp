#include "pool/batch/job_watch.h"

#include <algorithm>
#include <cmath>

namespace vel {

uint64_t whole_seconds_between(uint64_t since_ns, uint64_t now_ns) {
  return now_ns > since_ns ? (now_ns - since_ns) / 1'000'000'000 : 0;
}

bool batch_silent_too_long(uint64_t started_ns, uint64_t now_ns, uint64_t silent_secs, uint64_t delivered,
                           uint64_t null_frames) {
  return delivered == 0 && null_frames == 0 && whole_seconds_between(started_ns, now_ns) >= silent_secs;
}

std::string silent_batch_killed_text(uint64_t silent_secs, uint64_t expected) {
  return "pool: lot muet TUÉ après " + std::to_string(silent_secs) + " s (0/" + std::to_string(expected) +
         " frame) — clients et moteurs balayés";
}

bool job_hung(uint64_t job_started_ns, std::optional<uint64_t> last_frame_at_ns, uint64_t now_ns,
              uint64_t silent_secs) {
  const uint64_t since = last_frame_at_ns ? std::max(*last_frame_at_ns, job_started_ns) : job_started_ns;
  return whole_seconds_between(since, now_ns) >= silent_secs;
}

bool settled_grace_over(uint64_t settled_at_ns, uint64_t now_ns) {
  return now_ns >= settled_at_ns && now_ns - settled_at_ns >= kSettledWorkerGraceNs;
}

bool retirement_due(std::optional<uint64_t> retire_at_ns, uint64_t now_ns, uint64_t running_jobs) {
  return retire_at_ns && (running_jobs == 0 || now_ns >= *retire_at_ns);
}

void note_job_frame(JobFrameInterval& interval, double now_ms) {
  if (!std::isfinite(now_ms) || interval.first_frame_seen) return;
  if (interval.last_frame_ms && now_ms >= *interval.last_frame_ms) {
    const double gap = now_ms - *interval.last_frame_ms;
    if (gap >= 10.0) {
      interval.interval_ms =
          interval.interval_ms ? std::max(gap, 0.25 * gap + 0.75 * *interval.interval_ms) : gap;
    }
  }
  interval.last_frame_ms = now_ms;
}

}  // namespace vel
