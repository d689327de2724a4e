#include "pool/bounded_channel.h"

#include <gtest/gtest.h>

#include <memory>
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
  const auto send = [&tx, &next](int n) {
    for (int i = 0; i < n; ++i) ASSERT_TRUE(tx.try_send(std::make_unique<int>(next++)));
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

}  // namespace
}  // namespace vel
