// Getting the front range of a running batch ready for one more worker: the
// frames it can no longer usefully render are cut off its ends, a range left
// empty is dropped rather than launched, and the new worker's share of
// multi-frame rendering (MFR) is chosen so that the batch's workers never
// hold more than 80 % together. Main thread only; nothing is spawned here.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "pool/schedule/queued_range.h"
#include "pool/schedule/range_frames.h"

namespace vel {

// The MFR percent all of a batch's workers share.
inline constexpr uint32_t kMfrBudgetPercent = 80;
// Frames examined per call for the cut, shared with the scheduler's frame lists.
inline constexpr uint64_t kLaunchFrameBudget = 1024;

// How many workers a call may have running. Fixed mode: the admission
// verdict's target with measured admission on, else the workers per batch;
// with exactly one worker active under a grant that still holds, min(2,
// workers per batch). Adaptive mode: the scheduler's level, capped by the
// workers per batch. At least 1.
struct LaunchLimitInputs {
  bool adaptive = false;
  bool measured_admission = true;
  uint64_t workers_per_batch = 1;
  uint64_t verdict_target = 1;
  uint64_t scheduler_level = 1;
  uint64_t active = 0;
  bool grant_holds = false;
};
uint64_t launch_limit(const LaunchLimitInputs& in);

// Engines the next launch counts on: the active ones, the queued ranges
// behind this one and this one, within the call's limit; at least 1.
uint64_t launch_shares(uint64_t active, uint64_t queued_behind, uint64_t limit);

// The percent a new worker gets among `shares`: max(⌊80 / shares⌋, 1).
uint32_t mfr_percent_for(uint64_t shares);

struct MfrShare {
  uint32_t percent = 0;
  bool refused = false;         // the running workers plus this one would pass 80 %
  bool measure_invalid = false;  // the batch's timing no longer describes one setting
};
// `running_percents` are those of the unfinished jobs; `batch_percent` the
// one the last worker got.
MfrShare choose_mfr_share(uint64_t shares, std::span<const uint32_t> running_percents, uint32_t batch_percent,
                          uint64_t active);

// The cut of one range before its launch.
struct RangeCut {
  QueuedRange range;  // what is left (start > end once nothing is, where that can be written)
  uint64_t frames_cut = 0;
  bool empty = false;
};
// Cuts off the frames at either end without a 32-bit host time and, with
// `served` (the pump's form), those already served at the front. Each frame
// examined takes one unit of `budget`; nothing is cut once it is 0.
RangeCut cut_range_for_launch(const QueuedRange& range, const BatchTimeBase& time,
                              const std::function<bool(int64_t)>& served, uint64_t& budget);

struct LaunchInputs {
  BatchTimeBase time;
  uint64_t active = 0;
  uint64_t limit = 1;  // the call's launch limit
  std::span<const uint32_t> running_percents;
  uint32_t batch_percent = 0;
  std::function<bool(int64_t)> served;  // the pump's form only
  // Measured admission's gate, asked with the shares while no worker is
  // active; answers the shares it allows. Empty: no gate.
  std::function<uint64_t(uint64_t)> gate;
};

enum class LaunchVerdict : uint8_t {
  NoRange,  // the queue is empty
  Dropped,  // the front range was empty, or emptied by the cut: taken off, nothing to launch
  Refused,  // the share would pass 80 %: the range is back at the front, stop launching
  Launch,   // spawn a worker for `range` at `mfr_percent`
};

struct PreparedLaunch {
  LaunchVerdict verdict = LaunchVerdict::NoRange;
  QueuedRange range;
  uint32_t mfr_percent = 0;
  bool measure_invalid = false;
  std::optional<std::string> queue_record;  // POOL_QUEUE when frames were cut
};

// Takes the front range of `ranges` and readies it. Frames cut from a
// first-chance range are taken off `expected`.
PreparedLaunch prepare_launch(std::deque<QueuedRange>& ranges, const LaunchInputs& in, uint64_t& budget,
                              uint64_t& expected);

}  // namespace vel
