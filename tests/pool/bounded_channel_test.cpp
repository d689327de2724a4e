#include "pool/bounded_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace vel {
namespace {

std::vector<int> drain(ChannelReceiver<std::unique_ptr<int>>& rx) {
  std::vector<int> got;
  std::optional<std::unique_ptr<int>> v;
  while (rx.try_recv(v) == TryRecv::Value) got.push_back(**v);
  return got;
}

// Values come out in the order they went in, however sends and receives
// interleave, and the capacity bounds what may wait.
TEST(BoundedChannel, KeepsOrderAndBoundsWhatWaits) {
  auto [tx, rx] = make_bounded_channel<std::unique_ptr<int>>(10);
  int next = 0;
  const auto send = [&sender = tx, &next](int n) {
    for (int i = 0; i < n; ++i) ASSERT_TRUE(sender.try_send(std::make_unique<int>(next++)));
  };
  send(3);
  std::optional<std::unique_ptr<int>> v;
  ASSERT_EQ(rx.try_recv(v), TryRecv::Value);
  EXPECT_EQ(**v, 0);
  ASSERT_EQ(rx.try_recv(v), TryRecv::Value);
  EXPECT_EQ(**v, 1);
  send(9);
  EXPECT_FALSE(tx.try_send(std::make_unique<int>(99)));  // ten waiting: full
  std::vector<int> want;
  for (int i = 2; i < 12; ++i) want.push_back(i);
  EXPECT_EQ(drain(rx), want);
  send(10);
  EXPECT_EQ(drain(rx).size(), 10u);
  EXPECT_EQ(rx.try_recv(v), TryRecv::Empty);
  tx.reset();
  EXPECT_EQ(rx.try_recv(v), TryRecv::Disconnected);
}

TEST(BoundedChannel, TheLastReceiverGoneReleasesWhatWaited) {
  auto [tx, rx] = make_bounded_channel<std::shared_ptr<int>>(4);
  auto value = std::make_shared<int>(7);
  ASSERT_TRUE(tx.try_send(value));
  ASSERT_TRUE(tx.try_send(value));
  EXPECT_EQ(value.use_count(), 3);
  rx.reset();
  EXPECT_EQ(value.use_count(), 1);
  EXPECT_FALSE(tx.try_send(value));
}

// A sender waiting for room is woken by the receive that makes it, whether
// it waits for good or in steps that look at a stop flag (an hour here, so
// only the receive can wake it).
TEST(BoundedChannel, AReceiveWakesASenderWaitingForRoom) {
  for (bool stepped : {false, true}) {
    auto ends = make_bounded_channel<int>(1);
    ChannelReceiver<int>& rx = ends.second;
    ASSERT_TRUE(ends.first.try_send(0));
    std::atomic<bool> stop{false};
    std::thread sender([tx = ends.first, &stop, stepped]() mutable {
      for (int i = 1; i <= 4; ++i) {
        const SendOutcome sent = stepped ? tx.send_unless_stopped(i, stop, std::chrono::hours(1)) : tx.send(i);
        EXPECT_EQ(sent, SendOutcome::Sent);
      }
    });
    std::vector<int> got;
    std::optional<int> v;
    while (got.size() < 5) {
      // Both receives make room: the non-blocking one when a value waits.
      if (rx.try_recv(v) != TryRecv::Value) v = rx.recv();
      if (v) got.push_back(*v);
    }
    sender.join();
    EXPECT_EQ(got, (std::vector<int>{0, 1, 2, 3, 4})) << stepped;
  }
}

}  // namespace
}  // namespace vel
