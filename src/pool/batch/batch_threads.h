// The threads of a batch (its decoders and its output discovery) end on
// their own once the batch is dropped: their channels close and the stop
// flags rise. The host's quit waits for them, so that none outlives the
// death hook, by counting them: a mark is taken before the thread starts and
// let go when its body (and what it holds) is gone. A body that is gone is
// not yet a thread that is gone (its exit still runs), so the quit also joins
// every thread whose mark went; nobody else waits on them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/result.h"

namespace vel {

class BatchThreadMark {
 public:
  // A tracked mark names a thread that start_batch_thread keeps to join.
  explicit BatchThreadMark(bool tracked = false);
  ~BatchThreadMark();
  BatchThreadMark(const BatchThreadMark&) = delete;
  BatchThreadMark& operator=(const BatchThreadMark&) = delete;

 private:
  friend Status<> start_batch_thread(std::string full_name, std::function<void()> body);
  uint64_t id_ = 0;  // 0: counted only
};

// A thread body's share of a mark (the body is copied before it starts).
using SharedBatchThreadMark = std::shared_ptr<BatchThreadMark>;
inline SharedBatchThreadMark mark_batch_thread() { return std::make_shared<BatchThreadMark>(); }

// Starts `body` as the named thread `full_name`, marked: what `body` holds
// goes when it returns, then the mark. Threads of earlier batches that have
// ended are joined first. A thread that cannot start is the error (the
// system's text). Not from a batch thread.
Status<> start_batch_thread(std::string full_name, std::function<void()> body);

// Batch threads alive now.
uint64_t batch_threads_alive();

// Waits until no batch thread is alive, at most `limit`, then joins every
// started thread whose mark went; answers whether none is alive. Main
// thread, at quit.
bool wait_for_batch_threads(std::chrono::milliseconds limit);

}  // namespace vel
