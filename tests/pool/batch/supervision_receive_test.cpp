#include "pool/batch/supervision_receive.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>
#include "pool/pool_test_units.h"

namespace vel {
namespace {

constexpr uint64_t kReceiveT0 = 50'000 * kMs;

PoolFrameDelivery frame(int64_t index, size_t pixel_bytes = 16) {
  PoolFrameDelivery d;
  d.frame = index;
  d.pixels = RgbaFrame{PixelPayload::adopt(std::vector<uint8_t>(pixel_bytes)), 0.0, 2, 2};
  return d;
}
PoolFrameDelivery failed_read(int64_t index) {
  PoolFrameDelivery d;
  d.frame = index;
  return d;
}

struct Channel {
  Channel() {
    auto [tx, rx] = make_bounded_channel<PoolFrameDelivery>(64);
    sender = std::move(tx);
    receiver = std::move(rx);
  }
  FrameSender sender;
  FrameReceiver receiver;
};

// A clock that only moves while messages are handled: each takes `per_message`.
struct Clock {
  explicit Clock(uint64_t per_message = 0) : per_message(per_message) {}
  std::shared_ptr<uint64_t> now = std::make_shared<uint64_t>(kReceiveT0);
  uint64_t per_message;
  std::function<uint64_t()> reader() const {
    return [now = now] { return *now; };
  }
};

struct Taken {
  std::vector<int64_t> frames;
  Clock clock;
  std::function<bool(PoolFrameDelivery&&)> handler() {
    return [this](PoolFrameDelivery&& d) {
      frames.push_back(d.frame);
      *clock.now += clock.per_message;
      return d.pixels.has_value();
    };
  }
};

// One call's receiving, its window opened at the clock's instant.
ReceiveEnd receive(std::optional<PoolFrameDelivery>& stash, FrameReceiver& frames, Taken& taken) {
  ReceiveWindow window(*taken.clock.now);
  return receive_deliveries(window, stash, frames, taken.clock.reader(), taken.handler());
}

TEST(Receive, WithinTheCallsLimits) {
  struct Case {
    const char* what;
    std::vector<PoolFrameDelivery> (*sent)();
    uint64_t per_message_ns;
    size_t taken;
    ReceiveEnd end;
  } cases[] = {
      {"eight messages, the ninth stays",
       [] {
         std::vector<PoolFrameDelivery> v;
         for (int i = 0; i < 9; ++i) v.push_back(frame(i));
         return v;
       },
       0, 8, ReceiveEnd::Limit},
      {"32 MiB of pixels",
       [] {
         std::vector<PoolFrameDelivery> v;
         for (int i = 0; i < 3; ++i) v.push_back(frame(i, 16u << 20));
         return v;
       },
       0, 2, ReceiveEnd::Limit},
      {"just under 32 MiB lets one more in",
       [] {
         std::vector<PoolFrameDelivery> v{frame(0, (32u << 20) - 1), frame(1, 4), frame(2, 4)};
         return v;
       },
       0, 2, ReceiveEnd::Limit},
      {"2 ms once a frame was returned",
       [] {
         std::vector<PoolFrameDelivery> v{frame(0), frame(1), frame(2)};
         return v;
       },
       kMs, 2, ReceiveEnd::Limit},  // the second look comes 1 ms in, the third at 2 ms: too late
      {"just under 2 ms lets one more in",
       [] {
         std::vector<PoolFrameDelivery> v{frame(0), frame(1), frame(2), frame(3)};
         return v;
       },
       kMs - 1, 3, ReceiveEnd::Limit},  // the third look comes 1.999998 ms in, the fourth too late
      {"failed reads do not start the 2 ms clock",
       [] {
         std::vector<PoolFrameDelivery> v{failed_read(0), failed_read(1), failed_read(2), frame(3), frame(4)};
         return v;
       },
       kMs, 4, ReceiveEnd::Limit},  // frame 3 comes 3 ms in; frame 4 is too late
      {"an empty channel ends it", [] { return std::vector<PoolFrameDelivery>{frame(0)}; }, 0, 1, ReceiveEnd::Empty},
  };
  for (const Case& c : cases) {
    Channel ch;
    std::vector<PoolFrameDelivery> sent = c.sent();
    const size_t total = sent.size();
    for (PoolFrameDelivery& d : sent) ASSERT_TRUE(ch.sender.try_send(std::move(d)));
    std::optional<PoolFrameDelivery> stash;
    Taken taken{{}, Clock(c.per_message_ns)};
    EXPECT_EQ(receive(stash, ch.receiver, taken), c.end) << c.what;
    EXPECT_EQ(taken.frames.size(), c.taken) << c.what;
    // What was not taken waits, in order, for the next call.
    Taken next;
    receive(stash, ch.receiver, next);
    ASSERT_EQ(c.taken + next.frames.size(), total) << c.what;
    if (!next.frames.empty()) {
      EXPECT_EQ(next.frames.front(), static_cast<int64_t>(c.taken)) << c.what;
    }
  }
}

TEST(Receive, TheStashComesFirstAndCounts) {
  Channel ch;
  for (int i = 1; i <= 8; ++i) ASSERT_TRUE(ch.sender.try_send(frame(i)));
  std::optional<PoolFrameDelivery> stash = frame(0);
  Taken taken;
  EXPECT_EQ(receive(stash, ch.receiver, taken), ReceiveEnd::Limit);
  EXPECT_EQ(taken.frames, (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_FALSE(stash);
}

TEST(Receive, ADroppedBatchsSendersLeaveADisconnectedChannel) {
  Channel ch;
  ASSERT_TRUE(ch.sender.try_send(frame(0)));
  ch.sender.reset();
  std::optional<PoolFrameDelivery> stash;
  Taken taken;
  EXPECT_EQ(receive(stash, ch.receiver, taken), ReceiveEnd::Disconnected);
  EXPECT_EQ(taken.frames.size(), 1u);
}

TEST(ReceiveWindow, RunsFromTheCallsInstantAndReadsTheClockOnlyWhenItDecides) {
  uint64_t now = kReceiveT0;
  int reads = 0;
  const auto clock = [&] {
    ++reads;
    return now;
  };
  // Opened at the call's start, 1.5 ms before the receiving began.
  ReceiveWindow window(kReceiveT0 - 1'500'000);
  EXPECT_TRUE(window.room());
  EXPECT_TRUE(window.in_time(clock));
  EXPECT_EQ(reads, 0) << "no frame returned yet: the 2 ms do not apply";
  EXPECT_FALSE(window.last_read_ns());
  window.took(frame(0));
  window.returned();
  EXPECT_TRUE(window.in_time(clock));
  EXPECT_EQ(reads, 1);
  EXPECT_EQ(window.last_read_ns(), now);
  now = kReceiveT0 + 500'000;  // 2 ms after the call's start
  EXPECT_FALSE(window.in_time(clock));
  EXPECT_EQ(window.last_read_ns(), now);

  ReceiveWindow full(kReceiveT0);
  full.took(frame(0, 32u << 20));
  EXPECT_FALSE(full.room()) << "32 MiB taken";
  ReceiveWindow counted(kReceiveT0);
  for (uint32_t i = 0; i < kReceiveMessagesPerCall; ++i) counted.took(failed_read(i));
  EXPECT_FALSE(counted.room()) << "eight messages taken";
  EXPECT_EQ(counted.messages_taken(), kReceiveMessagesPerCall);
}

TEST(Receive, AnEmptyChannelCostsNoLookAtTheClockAndALateMessageWaitsInTheStash) {
  Channel ch;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(ch.sender.try_send(frame(i)));
  int reads = 0;
  uint64_t now = kReceiveT0;
  const auto clock = [&] {
    ++reads;
    return now;
  };
  std::vector<int64_t> taken;
  const auto handle = [&](PoolFrameDelivery&& d) {
    taken.push_back(d.frame);
    return true;
  };
  std::optional<PoolFrameDelivery> stash;
  ReceiveWindow drained(kReceiveT0);
  EXPECT_EQ(receive_deliveries(drained, stash, ch.receiver, clock, handle), ReceiveEnd::Empty);
  EXPECT_EQ(taken, (std::vector<int64_t>{0, 1, 2}));
  EXPECT_EQ(reads, 2) << "before the second and the third message only";
  EXPECT_EQ(drained.last_read_ns(), kReceiveT0);

  for (int i = 3; i < 5; ++i) ASSERT_TRUE(ch.sender.try_send(frame(i)));
  ReceiveWindow late(kReceiveT0);
  late.returned();
  now = kReceiveT0 + 2'000'000;
  EXPECT_EQ(receive_deliveries(late, stash, ch.receiver, clock, handle), ReceiveEnd::Limit);
  EXPECT_EQ(taken.size(), 3u);
  ASSERT_TRUE(stash);
  EXPECT_EQ(stash->frame, 3);
  ReceiveWindow next(now);
  EXPECT_EQ(receive_deliveries(next, stash, ch.receiver, clock, handle), ReceiveEnd::Empty);
  EXPECT_EQ(taken, (std::vector<int64_t>{0, 1, 2, 3, 4}));
  EXPECT_FALSE(stash);
}

TEST(MemoryDrain, OnlyAnEmptyChannelAfterACallWithoutFrames) {
  struct Case {
    const char* what;
    bool stash_full;
    bool returned_any;
    ReceiveEnd end;
    bool late_message;
    bool drained;
  } cases[] = {
      {"all quiet", false, false, ReceiveEnd::Empty, false, true},
      {"senders gone", false, false, ReceiveEnd::Disconnected, false, true},
      {"a stashed message", true, false, ReceiveEnd::Empty, false, false},
      {"frames this call", false, true, ReceiveEnd::Empty, false, false},
      {"stopped on a limit", false, false, ReceiveEnd::Limit, false, false},
      {"a late message", false, false, ReceiveEnd::Empty, true, false},
  };
  for (const Case& c : cases) {
    Channel ch;
    if (c.late_message) {
      ASSERT_TRUE(ch.sender.try_send(frame(7)));
    }
    std::optional<PoolFrameDelivery> stash;
    if (c.stash_full) stash = frame(3);
    EXPECT_EQ(memory_frames_drained(stash, ch.receiver, c.returned_any, c.end), c.drained) << c.what;
    if (c.late_message) {
      ASSERT_TRUE(stash) << c.what;
      EXPECT_EQ(stash->frame, 7) << c.what;
    }
  }
}

}  // namespace
}  // namespace vel
