#include "pool/batch/delivery_ledger.h"

#include <gtest/gtest.h>

#include <vector>

#include "host/log_capture.h"

namespace vel {
namespace {

const BatchTimeBase kLedgerTime{1001, 24000};

PoolFrameDelivery with_pixels(int64_t frame, uint32_t w = 4, uint32_t h = 2) {
  PoolFrameDelivery d;
  d.frame = frame;
  d.pixels = RgbaFrame{PixelPayload::adopt(std::vector<uint8_t>(size_t{w} * h * 4)), 0.0, w, h};
  return d;
}
PoolFrameDelivery without_pixels(int64_t frame) {
  PoolFrameDelivery d;
  d.frame = frame;
  return d;
}
PoolFrameDelivery null_callback(int64_t frame) {
  PoolFrameDelivery d = without_pixels(frame);
  d.null_output = true;
  return d;
}

TEST(DeliveryLedger, EachKindOfMessage) {
  struct Case {
    const char* what;
    PoolFrameDelivery message;
    bool served;
    DeliveringJob job;
    DeliveryKind kind;
    uint64_t delivered, useful, cohort;
    bool useful_flag;
  } cases[] = {
      {"a frame from a running worker", with_pixels(5), false, {true, false}, DeliveryKind::Frame, 1, 1, 1, true},
      {"a frame from a worker that exited", with_pixels(5), false, {true, true}, DeliveryKind::Frame, 1, 1, 0, true},
      {"a frame of no known worker", with_pixels(5), false, {false, false}, DeliveryKind::Frame, 1, 1, 0, true},
      {"a frame already served (pump)", with_pixels(5), true, {true, false}, DeliveryKind::Frame, 1, 0, 0, false},
      {"a failed read", without_pixels(5), false, {true, false}, DeliveryKind::FailedRead, 0, 0, 0, false},
      {"a null callback", null_callback(5), false, {true, false}, DeliveryKind::NullOutput, 0, 0, 0, false},
      {"a frame past 32 bits of time", with_pixels(int64_t{1} << 22), false, {true, false}, DeliveryKind::NoHostTime,
       0, 0, 0, false},
  };
  for (const Case& c : cases) {
    DeliveryLedger ledger;
    ledger.handed = {5, int64_t{1} << 22, 6};
    const DeliveryBooking b = book_delivery(ledger, c.message, kLedgerTime, c.served, c.job);
    EXPECT_EQ(b.kind, c.kind) << c.what;
    EXPECT_EQ(ledger.delivered, c.delivered) << c.what;
    EXPECT_EQ(ledger.useful_frames, c.useful) << c.what;
    EXPECT_EQ(ledger.cohort_frames, c.cohort) << c.what;
    EXPECT_EQ(b.useful, c.useful_flag) << c.what;
    EXPECT_EQ(b.key.has_value(), c.kind == DeliveryKind::Frame) << c.what;
    // A null callback leaves the decoders' frames alone; every other message ends one.
    EXPECT_EQ(ledger.handed.count(c.message.frame), c.kind == DeliveryKind::NullOutput ? 1u : 0u) << c.what;
    EXPECT_EQ(ledger.handed.count(6), 1u) << c.what;
    EXPECT_EQ(ledger.null_frames.count(5), c.kind == DeliveryKind::NullOutput ? 1u : 0u) << c.what;
    if (c.kind == DeliveryKind::Frame || c.kind == DeliveryKind::NoHostTime) {
      EXPECT_EQ(ledger.tries.tries_of(c.message.frame), 0u) << c.what;
    }
  }
  DeliveryLedger ledger;
  const DeliveryBooking b = book_delivery(ledger, with_pixels(7), kLedgerTime, false, {});
  EXPECT_EQ(b.key, (FrameKey{7007, 24000}));
}

TEST(DeliveryLedger, AChangeOfFrameSizeIsReportedOnce) {
  fake::LogCapture log;
  DeliveryLedger ledger;
  struct Step {
    PoolFrameDelivery message;
    bool changed;
  } steps[] = {
      {with_pixels(0, 4, 2), true},  // the first size the batch sees
      {with_pixels(1, 4, 2), false},
      {without_pixels(2), false},
      {with_pixels(3, 2, 1), true},
      {with_pixels(4, 2, 1), false},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(book_delivery(ledger, s.message, kLedgerTime, false, {}).size_changed, s.changed) << s.message.frame;
  }
  EXPECT_EQ(ledger.last_frame_size, (std::pair<uint32_t, uint32_t>{2, 1}));
}

TEST(DeliveryLedger, ALateFailureOfADeliveredFrameLeavesItDelivered) {
  fake::LogCapture log;
  DeliveryLedger ledger;
  book_delivery(ledger, with_pixels(9), kLedgerTime, false, {});
  const DeliveryBooking late = book_delivery(ledger, without_pixels(9), kLedgerTime, false, {});
  EXPECT_EQ(late.failed, FailedRead::AlreadyDelivered);
  EXPECT_EQ(ledger.tries.tries_of(9), 0u);
  EXPECT_EQ(ledger.delivered, 1u);
}

TEST(DeliveryLedger, PerFrameTimeFromTheThirdFrame) {
  struct Case {
    double elapsed;
    std::optional<double> first;
    uint64_t delivered;
    bool valid;
    std::optional<double> want;
  } cases[] = {
      {1000.0, 400.0, 3, true, 300.0},  {1000.0, 400.0, 2, true, std::nullopt},
      {1000.0, std::nullopt, 5, true, std::nullopt}, {1000.0, 400.0, 3, false, std::nullopt},
      {300.0, 400.0, 3, true, 0.0},  // a clock read before the first frame's
  };
  for (const Case& c : cases) EXPECT_EQ(batch_per_frame_ms(c.elapsed, c.first, c.delivered, c.valid), c.want);
}

}  // namespace
}  // namespace vel
