// The disk store's thread, "velocinta-store", and the main thread's handle
// on it. Jobs go in order through an unbounded channel; replies come back
// through a channel of at most 2, so a long load advances only as fast as
// the idle tick takes its frames. Every job and reply carries the generation
// at which it was made: raising the generation cancels writes, loads and
// replies in flight between two frames, never interrupting a file write.
// Opening a stream and purging always run, whatever the generation. When
// the host quits, the thread only finishes the writes already queued.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "cache/frame_key.h"
#include "store/frame_store.h"
#include "store/store_sweep.h"
#include "store/stream_frames.h"

namespace vel {

namespace fs = std::filesystem;

inline constexpr size_t kStoreReplyLimit = 2;
inline constexpr uint64_t kOpenStreamGaugeBytes = 32768;
inline constexpr int64_t kSweepIntervalSeconds = 600;
// Keys a missing reply carries at most: a long run of them is answered in
// parts, the first while the store goes through the rest.
inline constexpr size_t kMissingPerReply = 256;

// Opens the stream of `comp_key` at the saved state of `snapshot`, then
// preloads up to `preload_count` of its frames, those at or after
// `focus_value` first.
struct OpenStreamJob {
  fs::path snapshot;
  std::string comp_key;
  uint64_t preload_count = 0;
  std::optional<int32_t> focus_value;
  std::optional<LoadSize> size;  // what a preloaded frame must fit (frame_store.h)
};
struct WriteFrameJob {
  FrameKey key;
  StoredFrame frame;
};
struct LoadJob {
  std::vector<FrameKey> keys;
  std::optional<LoadSize> size;  // what a loaded frame must fit (frame_store.h)
};
struct PurgeJob {};

struct StoreJob {
  uint64_t generation = 0;
  uint64_t bytes = 0;  // pixel bytes the job pins, counted until it is handled
  std::variant<OpenStreamJob, WriteFrameJob, LoadJob, PurgeJob> body;
};

struct FrameReply {
  LoadedFrame frame;
};
// Keys the store holds no usable frame of, in the order asked: a run of
// them goes back as one reply, so that thousands of keys it lacks are
// answered within a tick or two instead of two a tick.
struct MissingReply {
  std::vector<FrameKey> keys;
};
// The keys of the stream's frame files as the opening found them, sent
// before the preload: the main thread asks only for what the store holds.
// Sorted by `listing_less`, no key twice: the main thread searches it as it
// comes, instead of spending its tick on a million keys.
struct ListedReply {
  std::vector<FrameKey> keys;
};
inline bool listing_less(FrameKey a, FrameKey b) {
  return a.value != b.value ? a.value < b.value : a.scale < b.scale;
}
// Puts a listing in the order of a ListedReply (two names, v5_s30 and
// v+5_s+30, can give one key).
void sort_listing(std::vector<FrameKey>& keys);
// Frame files removed to make room for frames nearer the playhead: the
// main thread no longer counts them as on disk.
struct TrimmedReply {
  std::vector<FrameKey> keys;
};
struct SavedReply {
  FrameKey key;
  uint64_t saved_bytes = 0;  // raw length minus the bytes written, at least 0
};
struct OpenedReply {
  uint64_t frames_sent = 0;
};

struct StoreReply {
  uint64_t generation = 0;
  std::variant<FrameReply, MissingReply, SavedReply, OpenedReply, ListedReply, TrimmedReply> body;
};

// What the two sides share; counters are read by the main thread each tick.
struct StoreShared {
  std::optional<fs::path> root;
  uint64_t cap = kStoreCapBytes;  // every stream counted, the one written to as well
  std::atomic<uint64_t> generation{0};
  std::atomic<uint64_t> queued_job_bytes{0};
  std::atomic<uint64_t> queued_job_count{0};
  std::atomic<uint64_t> reply_bytes{0};
  std::atomic<uint64_t> load_gauge{0};

  std::mutex mutex;
  std::condition_variable jobs_ready;
  std::condition_variable reply_room;
  std::condition_variable reply_ready;
  std::condition_variable idle;  // the thread finished a job
  std::deque<StoreJob> jobs;
  std::deque<StoreReply> replies;
  bool closed = false;  // the main side let go: the thread ends, sends fail
  bool busy = false;    // the thread is handling a job
  // The host quits: writes already queued still run, nothing else does, and
  // replies are dropped instead of waited for (nobody takes them any more).
  std::atomic<bool> finishing{false};
  std::atomic<uint64_t> finished_writes{0};  // writes done while finishing, their replies dropped

  // Where the preview stands: the frames farthest from it make way when
  // the store is full.
  std::mutex focus_mutex;
  StoreFocus focus;
};

// The preview state's handle. Dropping it stops and joins the thread.
class StoreHandle {
 public:
  StoreHandle() = default;
  StoreHandle(std::shared_ptr<StoreShared> shared, std::thread thread)
      : shared_(std::move(shared)), thread_(std::move(thread)) {}
  StoreHandle(StoreHandle&&) noexcept = default;
  StoreHandle& operator=(StoreHandle&& o) noexcept;
  StoreHandle(const StoreHandle&) = delete;
  StoreHandle& operator=(const StoreHandle&) = delete;
  ~StoreHandle() { stop(); }

  // Whether the thread runs and takes jobs.
  bool live() const { return shared_ != nullptr && thread_.joinable(); }
  StoreShared* shared() const { return shared_.get(); }

  // Sends a job at the current generation; false when no thread takes it.
  bool send(std::variant<OpenStreamJob, WriteFrameJob, LoadJob, PurgeJob> body, uint64_t bytes = 0);
  // Tells the store thread where the preview stands.
  void set_focus(const StoreFocus& focus);
  // Cancels every job and reply in flight; answers the new generation.
  uint64_t raise_generation();
  // One reply of the current generation, never waiting; stale ones are
  // dropped on the way.
  std::optional<StoreReply> take_reply();
  // The same, waiting for a reply; none once the thread has gone (tests).
  std::optional<StoreReply> wait_reply();
  // Queued job bytes + reply bytes + load gauge, saturating.
  uint64_t bytes_in_flight() const;
  uint64_t queued_jobs() const;
  // The host quits: no job is taken any more, the writes already queued
  // go on, loads and stream openings are skipped, replies are dropped.
  void begin_finish();
  // Waits until the thread has run out of jobs or `deadline` passed, after
  // begin_finish. Answers the writes completed while finishing.
  uint64_t wait_finished(std::chrono::steady_clock::time_point deadline);
  // Cancels what is in flight, closes the channels and joins the thread; a
  // file write in progress completes.
  void stop();

 private:
  std::shared_ptr<StoreShared> shared_;
  std::thread thread_;
};

// Starts "velocinta-store" over `root` (none: the store is off, jobs are
// taken and do nothing), keeping every stream under it within `cap` bytes.
// When the thread cannot start, logs "store: worker unavailable: ..." and
// answers a handle on which every send fails.
StoreHandle spawn_store_worker(std::optional<fs::path> root, uint64_t cap = kStoreCapBytes);

// Body of "velocinta-store"; returns once the channel is closed.
void store_worker(const std::shared_ptr<StoreShared>& shared);

// The reply send of the store thread: drops a stale reply and answers false;
// else counts a carried frame's bytes and sends, waiting while 2 replies are
// pending; false once the main side is gone.
bool store_enqueue(StoreShared& shared, StoreReply reply);

}  // namespace vel
