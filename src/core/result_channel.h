// A bounded many-senders, one-receiver channel for results made off the main
// thread. Senders wait while it is full and give up once the receiver is
// gone; the receiver never waits and learns when every sender has gone.
#pragma once

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
struct ChannelCore {
  explicit ChannelCore(size_t cap) : capacity(cap == 0 ? 1 : cap) {}
  std::mutex mu;
  std::condition_variable space;
  std::deque<T> items;
  const size_t capacity;
  size_t senders = 1;
  bool receiver_alive = true;
};
}  // namespace detail

enum class RecvState { Value, Empty, Disconnected };
enum class SendState { Sent, Full, Disconnected };

template <class T>
class ResultSender {
 public:
  explicit ResultSender(std::shared_ptr<detail::ChannelCore<T>> core) : core_(std::move(core)) {}
  ResultSender(const ResultSender& o) : core_(o.core_) {
    if (core_) {
      std::lock_guard lk(core_->mu);
      ++core_->senders;
    }
  }
  ResultSender(ResultSender&&) noexcept = default;
  ResultSender& operator=(const ResultSender&) = delete;
  ResultSender& operator=(ResultSender&&) = delete;
  ~ResultSender() {
    if (!core_) return;
    std::lock_guard lk(core_->mu);
    --core_->senders;
  }

  // Waits while the channel is full; false (value dropped) once the
  // receiver is gone.
  bool send(T value) {
    std::unique_lock lk(core_->mu);
    core_->space.wait(lk, [&] { return !core_->receiver_alive || core_->items.size() < core_->capacity; });
    if (!core_->receiver_alive) return false;
    core_->items.push_back(std::move(value));
    return true;
  }

  // Never waits: a thread that must stay cancellable polls with this
  // instead of sleeping in `send`, where only the receiver's going or a
  // freed place would wake it. `value` is moved from only when Sent.
  SendState try_send(T& value) {
    std::lock_guard lk(core_->mu);
    if (!core_->receiver_alive) return SendState::Disconnected;
    if (core_->items.size() >= core_->capacity) return SendState::Full;
    core_->items.push_back(std::move(value));
    return SendState::Sent;
  }

  // As try_send, after waiting at most `patience` for a place or the
  // receiver's going: a thread that must stay cancellable waits in slices,
  // and still goes on as soon as the receiver takes a result.
  template <class Rep, class Period>
  SendState try_send_for(T& value, std::chrono::duration<Rep, Period> patience) {
    std::unique_lock lk(core_->mu);
    core_->space.wait_for(lk, patience,
                          [&] { return !core_->receiver_alive || core_->items.size() < core_->capacity; });
    if (!core_->receiver_alive) return SendState::Disconnected;
    if (core_->items.size() >= core_->capacity) return SendState::Full;
    core_->items.push_back(std::move(value));
    return SendState::Sent;
  }

  bool receiver_alive() const {
    std::lock_guard lk(core_->mu);
    return core_->receiver_alive;
  }

 private:
  std::shared_ptr<detail::ChannelCore<T>> core_;
};

template <class T>
class ResultReceiver {
 public:
  explicit ResultReceiver(std::shared_ptr<detail::ChannelCore<T>> core) : core_(std::move(core)) {}
  ResultReceiver(const ResultReceiver&) = delete;
  ResultReceiver& operator=(const ResultReceiver&) = delete;
  ResultReceiver(ResultReceiver&&) noexcept = default;
  ResultReceiver& operator=(ResultReceiver&& o) noexcept {
    if (this != &o) {
      close();
      core_ = std::move(o.core_);
    }
    return *this;
  }
  ~ResultReceiver() { close(); }

  // Never waits. Disconnected only when empty and every sender has gone.
  RecvState try_recv(std::optional<T>& out) {
    std::lock_guard lk(core_->mu);
    if (!core_->items.empty()) {
      out.emplace(std::move(core_->items.front()));
      core_->items.pop_front();
      core_->space.notify_one();
      return RecvState::Value;
    }
    return core_->senders == 0 ? RecvState::Disconnected : RecvState::Empty;
  }

 private:
  void close() {
    if (!core_) return;
    std::deque<T> dropped;
    {
      std::lock_guard lk(core_->mu);
      core_->receiver_alive = false;
      dropped.swap(core_->items);
    }
    core_->space.notify_all();
    core_.reset();
  }
  std::shared_ptr<detail::ChannelCore<T>> core_;
};

template <class T>
std::pair<ResultSender<T>, ResultReceiver<T>> make_result_channel(size_t capacity) {
  auto core = std::make_shared<detail::ChannelCore<T>>(capacity);
  return {ResultSender<T>(core), ResultReceiver<T>(core)};
}

}  // namespace vel
