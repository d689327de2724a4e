// Deferred file work: deletions and whole-file writes that must not run on
// the host's main thread or a render path go, as CleanupRequests, to one
// background thread, "velocinta-cleanup", through a queue of 32. Posting
// never blocks: a full or unavailable queue drops the request with one
// error line, and its files stay until a later request or run.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace vel {

namespace fs = std::filesystem;

inline constexpr size_t kCleanupQueueCapacity = 32;
inline constexpr int64_t kStaleEntrySeconds = 3601;

struct RemoveTree {
  fs::path path;
};
// A folder its poster holds by descriptor, removed by the poster's own
// walk (which follows no link) on the cleanup thread.
struct RemoveHeld {
  std::function<void()> remove;
};
struct WriteFile {
  fs::path path;
  std::vector<uint8_t> bytes;
};
// Every entry of `folder` modified at least 3601 whole seconds before
// `reference` (wall clock); entries modified after it stay.
struct RemoveStaleEntries {
  fs::path folder;
  struct timespec reference {};
};
using CleanupRequest = std::variant<RemoveTree, RemoveHeld, WriteFile, RemoveStaleEntries>;

// Whether an entry modified at `mtime` is stale at `reference`.
bool entry_is_stale(const struct timespec& reference, const struct timespec& mtime);

// Carries one request out; errors other than not-found are logged as a tab,
// "cleanup: " and the error text.
void carry_out_cleanup(const CleanupRequest& request);

// The queue and its worker loop, apart from any thread so that tests can
// run it on their own.
class CleanupQueue {
 public:
  explicit CleanupQueue(size_t capacity = kCleanupQueueCapacity) : capacity_(capacity) {}

  // False, after logging "cleanup: queue unavailable; deferred files
  // retained", when the queue is full, closed or marked unavailable.
  bool post(CleanupRequest request);
  // Takes requests in order and carries them out until closed; requests
  // still queued then are not carried out.
  void run();
  // Ends run() after its current request; later posts fail.
  void close();
  // Waits until no request is queued or running (tests).
  void wait_idle();

 private:
  const size_t capacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<CleanupRequest> queue_;
  bool busy_ = false;
  bool closed_ = false;
};

// The process-wide queue: its thread starts on the first post; when it
// cannot start, the queue stays unavailable for the rest of the process.
void post_cleanup_request(CleanupRequest request);

// The death hook's stop: closes the process-wide queue and joins its thread.
void stop_cleanup_worker();

}  // namespace vel
