// Watching a batch's workers by time: a batch that has shown nothing at all
// for its silent limit is killed whole, and a single worker that stopped
// delivering (hung after its first frames, or never started) is killed on
// its own after the same limit, so that its frames can be replayed. Limits
// are counted in whole seconds: a batch is killed in the call where the
// whole seconds reach the limit, not one second later. Instants are
// monotonic nanoseconds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vel {

// Whole seconds from `since_ns` to `now_ns`; 0 when now is not later.
uint64_t whole_seconds_between(uint64_t since_ns, uint64_t now_ns);

// A batch with no frame delivered and no null output whose whole seconds
// since its start reach `silent_secs`.
bool batch_silent_too_long(uint64_t started_ns, uint64_t now_ns, uint64_t silent_secs, uint64_t delivered,
                           uint64_t null_frames);

// "pool: lot muet TUÉ après {} s (0/{} frame) — clients et moteurs balayés"
std::string silent_batch_killed_text(uint64_t silent_secs, uint64_t expected);

// A running worker that has delivered nothing for `silent_secs` whole
// seconds since its start or, once it delivered, since its last frame.
bool job_hung(uint64_t job_started_ns, std::optional<uint64_t> last_frame_at_ns, uint64_t now_ns,
              uint64_t silent_secs);

// How long a worker that owes its batch nothing more (each frame of its
// range delivered or given up) may take to end by itself before it is
// ended. A worker that finished its range normally is gone within a moment
// of its last frame (its engine shuts down and it exits), and ending it
// ourselves would cut its log short; one still there after two seconds is
// an engine slow to shut down, holding memory and processors the next
// range needs, and nothing it could still do is of use to the batch. Its
// slot is free from the start of the grace; the grace only bounds how long
// its engines stay beside the next range's.
inline constexpr uint64_t kSettledWorkerGraceNs = 2'000'000'000;

// Whether the grace of a worker settled at `settled_at_ns` is over.
bool settled_grace_over(uint64_t settled_at_ns, uint64_t now_ns);

// The witness hand-off's retirement: armed, and either no job still runs or
// its deadline has come.
bool retirement_due(std::optional<uint64_t> retire_at_ns, uint64_t now_ns, uint64_t running_jobs);

// The smoothed time between a worker's frames.
struct JobFrameInterval {
  std::optional<double> last_frame_ms;  // ms since the job started
  std::optional<double> interval_ms;
  bool first_frame_seen = false;  // while set, intervals are not measured
};

// One delivered frame at `now_ms` since the job started. A gap of at least
// 10 ms becomes the interval, or max(gap, ¼ gap + ¾ old) once one exists;
// then the frame's time is kept. Nothing for a non-finite time or while the
// first frame is being seen.
void note_job_frame(JobFrameInterval& interval, double now_ms);

}  // namespace vel
