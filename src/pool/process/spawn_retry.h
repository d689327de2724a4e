// What a batch does when it cannot start a worker. A spawn that fails tends
// to fail again at once (the renderer was moved or made non-executable), so
// retrying in the same call, or on every tick without end, only freezes the
// host and keeps the batch from ever closing. Instead: no further launch in
// the call that failed; with no worker of the batch running the range is
// dropped (a later batch renders its frames); while others run it is retried
// at most once a second, three times, and then dropped. Main thread only;
// instants are monotonic nanoseconds.
#pragma once

#include <cstdint>
#include <optional>

namespace vel {

inline constexpr uint32_t kSpawnRetries = 3;
inline constexpr uint64_t kSpawnRetryGapNs = 1'000'000'000;

enum class SpawnFailureAction : uint8_t {
  Retry,  // keep the range at the front; launch again once may_launch says so
  Drop,   // take the range off the queue
};

class SpawnRetryPolicy {
 public:
  // A spawn of the front range failed at `now_ns`; `others_running` when
  // some worker of the batch still runs.
  SpawnFailureAction failed(uint64_t now_ns, bool others_running);
  // Whether a launch may be tried now: not within a second of a failure.
  bool may_launch(uint64_t now_ns) const { return !retry_at_ns_ || now_ns >= *retry_at_ns_; }
  // A spawn succeeded: the next failure starts counting afresh.
  void succeeded() { *this = SpawnRetryPolicy{}; }
  uint32_t retries_used() const { return failures_ == 0 ? 0 : failures_ - 1; }

 private:
  uint32_t failures_ = 0;  // of the range at the front
  std::optional<uint64_t> retry_at_ns_;
};

}  // namespace vel
