// The detached threads of a batch (its decoders and its output discovery)
// end on their own once the batch is dropped: their channels close and the
// stop flags rise. The host's quit waits for them, so that none outlives the
// death hook, by counting them: a mark is taken before the thread starts
// and let go when its body (and what it holds) is gone.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace vel {

class BatchThreadMark {
 public:
  BatchThreadMark();
  ~BatchThreadMark();
  BatchThreadMark(const BatchThreadMark&) = delete;
  BatchThreadMark& operator=(const BatchThreadMark&) = delete;
};

// A thread body's share of a mark (the body is copied before it starts).
using SharedBatchThreadMark = std::shared_ptr<BatchThreadMark>;
inline SharedBatchThreadMark mark_batch_thread() { return std::make_shared<BatchThreadMark>(); }

// Batch threads alive now.
uint64_t batch_threads_alive();

// Waits until no batch thread is alive, at most `limit`; answers whether
// none is. Main thread, at quit.
bool wait_for_batch_threads(std::chrono::milliseconds limit);

}  // namespace vel
