// JobSlot: how a background job hands its results to the main thread. The
// slot holds the receiving end of the job's channel and two flags shared
// with the job's threads: a generation they compare before every step and a
// cancel flag. Renewing the slot cancels the job without interrupting it:
// its threads see the generation move, or find the receiver gone.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/result_channel.h"

namespace vel {

template <class T>
struct JobSlot {
  std::optional<ResultReceiver<T>> receiver;
  std::shared_ptr<std::atomic<uint64_t>> generation = std::make_shared<std::atomic<uint64_t>>(0);
  std::shared_ptr<std::atomic<bool>> cancel = std::make_shared<std::atomic<bool>>(false);

  bool running() const { return receiver.has_value(); }
};

// Raises the generation, drops the receiver (a sender still waiting gives
// up) and installs a fresh lowered cancel flag; a thread still holding the
// old flag raises a flag nobody reads. Cannot fail.
template <class T>
void renew_job_slot(JobSlot<T>& slot) {
  slot.generation->fetch_add(1, std::memory_order_seq_cst);
  slot.receiver.reset();
  slot.cancel = std::make_shared<std::atomic<bool>>(false);
}

// Opens a new job on the slot: a channel of `capacity` results whose
// receiver the slot keeps; answers the sender for the job's threads.
template <class T>
ResultSender<T> open_job_channel(JobSlot<T>& slot, size_t capacity) {
  auto [tx, rx] = make_result_channel<T>(capacity);
  slot.receiver.emplace(std::move(rx));
  return std::move(tx);
}

// Results taken in one drain stop once their pixels reach this many bytes.
inline constexpr uint64_t kDrainPixelBytes = 32ull * 1024 * 1024;

// Takes results without waiting: at most `limit`, and none more once the
// pixel bytes taken (as `bytes_of` counts them) reach 32 MiB. When every
// sender has gone and nothing is left, the slot's receiver is dropped.
// Empty when the slot has no receiver.
template <class T, class BytesOf>
std::vector<T> drain_result_channel(JobSlot<T>& slot, size_t limit, BytesOf bytes_of) {
  std::vector<T> out;
  if (!slot.receiver) return out;
  uint64_t bytes = 0;
  while (out.size() < limit && bytes < kDrainPixelBytes) {
    std::optional<T> item;
    const RecvState st = slot.receiver->try_recv(item);
    if (st == RecvState::Value) {
      bytes += bytes_of(*item);
      out.push_back(std::move(*item));
      continue;
    }
    if (st == RecvState::Disconnected) slot.receiver.reset();
    break;
  }
  return out;
}

}  // namespace vel
