// A bounded channel between the pool's threads: any number of senders and
// receivers (copies of the two ends), blocking and non-blocking receives, and
// sends that wait for room. Dropping every receiver disconnects the senders;
// dropping every sender ends the receivers once the channel is empty. A send
// can also wait in bounded steps that re-check a stop flag, so that a sender
// never outlives the batch it works for.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace vel {

namespace detail {
template <class T>
struct BoundedChannelCore {
  explicit BoundedChannelCore(size_t cap) : capacity(cap == 0 ? 1 : cap) {}
  std::mutex mu;
  std::condition_variable space;  // senders wait for room or for the receivers to go
  size_t senders_waiting = 0;     // on `space`: a receive that finds none signals nobody
  std::condition_variable items_ready;
  std::deque<T> items;
  const size_t capacity;
  size_t senders = 1;
  size_t receivers = 1;
};
}  // namespace detail

enum class SendOutcome { Sent, Disconnected, Stopped };
enum class TrySend { Sent, Full, Disconnected };
enum class TryRecv { Value, Empty, Disconnected };

template <class T>
class ChannelSender {
 public:
  ChannelSender() = default;
  explicit ChannelSender(std::shared_ptr<detail::BoundedChannelCore<T>> core) : core_(std::move(core)) {}
  ChannelSender(const ChannelSender& o) : core_(o.core_) {
    if (core_) {
      std::lock_guard lk(core_->mu);
      ++core_->senders;
    }
  }
  ChannelSender(ChannelSender&& o) noexcept : core_(std::move(o.core_)) {}
  ChannelSender& operator=(ChannelSender o) noexcept {
    std::swap(core_, o.core_);
    return *this;
  }
  ~ChannelSender() { reset(); }

  // Drops this end now.
  void reset() {
    if (!core_) return;
    {
      std::lock_guard lk(core_->mu);
      --core_->senders;
    }
    core_->items_ready.notify_all();
    core_.reset();
  }

  // Waits while full; Disconnected (value dropped) once every receiver is gone.
  SendOutcome send(T value) { return send_impl(std::move(value), nullptr, {}); }

  // The same, but wakes every `step` to look at `stop`: Stopped (value
  // dropped) once it is raised.
  SendOutcome send_unless_stopped(T value, const std::atomic<bool>& stop, std::chrono::milliseconds step) {
    return send_impl(std::move(value), &stop, step);
  }

  // Never waits: false when full or disconnected (value dropped).
  bool try_send(T value) {
    if (!core_) return false;
    std::lock_guard lk(core_->mu);
    if (core_->receivers == 0 || core_->items.size() >= core_->capacity) return false;
    core_->items.push_back(std::move(value));
    core_->items_ready.notify_one();
    return true;
  }

  // Never waits; the value is moved in only when the answer is Sent, so a
  // sender that finds the channel full keeps it for its next try.
  TrySend try_send_keeping(T& value) {
    if (!core_) return TrySend::Disconnected;
    std::lock_guard lk(core_->mu);
    if (core_->receivers == 0) return TrySend::Disconnected;
    if (core_->items.size() >= core_->capacity) return TrySend::Full;
    core_->items.push_back(std::move(value));
    core_->items_ready.notify_one();
    return TrySend::Sent;
  }

  bool connected() const {
    if (!core_) return false;
    std::lock_guard lk(core_->mu);
    return core_->receivers > 0;
  }

 private:
  SendOutcome send_impl(T value, const std::atomic<bool>* stop, std::chrono::milliseconds step) {
    if (!core_) return SendOutcome::Disconnected;
    std::unique_lock lk(core_->mu);
    const auto room = [&] { return core_->receivers == 0 || core_->items.size() < core_->capacity; };
    while (!room()) {
      if (stop != nullptr && stop->load(std::memory_order_acquire)) return SendOutcome::Stopped;
      ++core_->senders_waiting;
      if (stop == nullptr) {
        core_->space.wait(lk, room);
      } else {
        core_->space.wait_for(lk, step, room);
      }
      --core_->senders_waiting;
    }
    if (core_->receivers == 0) return SendOutcome::Disconnected;
    if (stop != nullptr && stop->load(std::memory_order_acquire)) return SendOutcome::Stopped;
    core_->items.push_back(std::move(value));
    core_->items_ready.notify_one();
    return SendOutcome::Sent;
  }

  std::shared_ptr<detail::BoundedChannelCore<T>> core_;
};

template <class T>
class ChannelReceiver {
 public:
  ChannelReceiver() = default;
  explicit ChannelReceiver(std::shared_ptr<detail::BoundedChannelCore<T>> core) : core_(std::move(core)) {}
  ChannelReceiver(const ChannelReceiver& o) : core_(o.core_) {
    if (core_) {
      std::lock_guard lk(core_->mu);
      ++core_->receivers;
    }
  }
  ChannelReceiver(ChannelReceiver&& o) noexcept : core_(std::move(o.core_)) {}
  ChannelReceiver& operator=(ChannelReceiver o) noexcept {
    std::swap(core_, o.core_);
    return *this;
  }
  ~ChannelReceiver() { reset(); }

  void reset() {
    if (!core_) return;
    std::deque<T> dropped;  // released after the lock
    {
      std::lock_guard lk(core_->mu);
      if (--core_->receivers == 0) dropped.swap(core_->items);
    }
    core_->space.notify_all();
    core_.reset();
  }

  // Waits for the next value; nothing once every sender is gone and the
  // channel is empty.
  std::optional<T> recv() {
    if (!core_) return std::nullopt;
    std::unique_lock lk(core_->mu);
    core_->items_ready.wait(lk, [&] { return !core_->items.empty() || core_->senders == 0; });
    std::optional<T> v;
    pop_locked(v);
    return v;
  }

  // Never waits.
  TryRecv try_recv(std::optional<T>& out) {
    if (!core_) return TryRecv::Disconnected;
    std::lock_guard lk(core_->mu);
    if (pop_locked(out)) return TryRecv::Value;
    out.reset();
    return core_->senders == 0 ? TryRecv::Disconnected : TryRecv::Empty;
  }

 private:
// GCC 12 at -O2 reports the moved-out message's optional members as maybe
// uninitialized once this is inlined into a caller on the main thread (the
// frame channel's receive): a false alarm, silenced here only.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
  // The front item straight into the caller's slot (one move of the value),
  // and room for a sender waiting for it. False when there is none.
  bool pop_locked(std::optional<T>& out) {
    if (core_->items.empty()) return false;
    out.emplace(std::move(core_->items.front()));
    core_->items.pop_front();
    if (core_->senders_waiting > 0) core_->space.notify_one();
    return true;
  }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

  std::shared_ptr<detail::BoundedChannelCore<T>> core_;
};

template <class T>
std::pair<ChannelSender<T>, ChannelReceiver<T>> make_bounded_channel(size_t capacity) {
  auto core = std::make_shared<detail::BoundedChannelCore<T>>(capacity);
  return {ChannelSender<T>(core), ChannelReceiver<T>(core)};
}

}  // namespace vel
