// The unpack queue: packed frames waiting to become raw again, shared by the
// frame cache (main thread) and one worker, "velocinta-unpack". One mutex
// and one condition variable; at most 8 slots. Keys whose entries share one
// packed payload share one slot, so a payload is decoded once. The worker
// decodes the waiting slot nearest the playhead first.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "cache/focus_distance.h"
#include "cache/frame_key.h"
#include "cache/pixel_payload.h"
#include "cache/rgba_frame.h"

namespace vel {

inline constexpr size_t kUnpackMaxSlots = 8;
inline constexpr size_t kUnpackMaxWaitingKeys = 7;  // more keys listed than this: a request waits (an 8th is taken, a 9th is not)
inline constexpr uint64_t kUnpackKeepMicros = 5'000'000;

enum class UnpackSlotState { Waiting, Running, Done };

struct UnpackKey {
  FrameKey key;
  double time = 0.0;     // seconds
  bool awaited = false;  // the panel waits for this frame: its arrival is worth an early idle call
};

struct UnpackSlot {
  UnpackSlotState state = UnpackSlotState::Waiting;
  std::optional<RgbaFrame> result;  // when done: absent when decoding failed
  std::vector<UnpackKey> keys;      // waiting for this payload, in request order
  PixelPayload packed;
  uint32_t width = 0;
  uint32_t height = 0;
  uint64_t sequence = 0;
  uint64_t cost = 0;  // packed capacity + width × height × 4
};

struct UnpackQueue {
  std::mutex mutex;
  std::condition_variable wake;
  std::optional<FrameKey> focus;  // absent until the first focus
  MicrosRange range;              // copied from the cache with the focus
  std::vector<UnpackSlot> slots;  // submission order
  uint64_t sequence = 0;
  bool stop = false;  // the worker is to stop or has stopped
};

struct UnpackJob {
  PixelPayload packed;
  FrameKey key;
  double time = 0.0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool awaited = false;
};

enum class SubmitOutcome { Queued, NotNow, Invalid, WorkerGone };

// Queues `job`, or joins the slot that already decodes its payload. Not now
// while more than 7 keys wait, 8 slots exist or the slots' costs would pass
// `byte_limit`; invalid for an empty or overflowing frame or one costlier
// than the limit; worker gone once the stop flag is set.
SubmitOutcome submit_unpack_job(UnpackQueue& queue, UnpackJob job, uint64_t byte_limit);

struct UnpackedFrame {
  PixelPayload packed;  // the payload the slot decoded
  FrameKey key;
  double time = 0.0;  // the key's own time: keys sharing a payload differ in time
  std::optional<RgbaFrame> result;
};
// The finished key nearest the playhead, or nothing.
std::optional<UnpackedFrame> take_unpacked_frame(UnpackQueue& queue);

void cancel_unpack_key(UnpackQueue& queue, FrameKey key);
void cancel_all_unpack_jobs(UnpackQueue& queue);
// Stores the focus and the work range, and forgets waiting keys more than
// 5 s away from it (the shorter way round inside the work range). Keys of a
// slot being decoded or decoded already stay: the work is done once and its
// result is collected, not thrown away and asked for again.
void focus_unpack_queue(UnpackQueue& queue, FrameKey focus, MicrosRange range);

bool has_pending_unpack_keys(UnpackQueue& queue);
// Raw bytes that queued and running slots will allocate: sum of (cost −
// packed capacity).
uint64_t pending_unpack_bytes(UnpackQueue& queue);

// Rank of a slot: (smallest distance of its keys to the focus, slot index);
// none when it has no keys. Distances are whole microseconds (value ×
// 1 000 000 / scale, truncated), forward with wrap inside a valid work range.
std::optional<std::pair<uint64_t, size_t>> unpack_job(const UnpackQueue& queue, size_t index, const UnpackSlot& slot);

// The worker's side. Waits until a slot is waiting or the stop flag is set;
// marks the waiting slot nearest the focus running and answers what to
// decode (none once stopped). The lock is not held on return.
struct UnpackWork {
  uint64_t sequence = 0;
  PixelPayload packed;
  uint32_t width = 0;
  uint32_t height = 0;
  double time = 0.0;
};
std::optional<UnpackWork> wait_for_unpack_work(UnpackQueue& queue);
// Stores the result of the running slot `sequence`, marks it done and drops
// idle slots. True when one of its keys is awaited by the panel.
bool finish_unpack_work(UnpackQueue& queue, uint64_t sequence, std::optional<RgbaFrame> result);

// Sets the stop flag and wakes the worker: the registry's stop handle.
void stop_unpack_queue(UnpackQueue& queue);

}  // namespace vel
