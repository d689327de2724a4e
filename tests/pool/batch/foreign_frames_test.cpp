// A batch whose worker hands over frames of another size than the batch
// asked for: the refusals are counted, never returned to the cache, logged
// once for the batch with their count, and the batch ends with the pool off
// for the session, so that its frames go back to the host's renders and no
// further worker is started for frames that would be refused again.
#include <gtest/gtest.h>

#include "host/log_capture.h"
#include "pool/batch/batch_supervision.h"
#include "pool/batch/delivery_ledger.h"
#include "pool/batch/fed_batch.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "pool/pool_test_units.h"

namespace vel {
namespace {

constexpr Instant kForeignT0 = 1'000'000'000'000;

PoolFrameDelivery good_frame(int64_t frame) {
  PoolFrameDelivery d;
  d.worker = 0;
  d.frame = frame;
  d.pixels = RgbaFrame{PixelPayload::adopt(std::vector<uint8_t>(16 * 9 * 4, 1)), 0.0, 16, 9};
  return d;
}

PoolFrameDelivery foreign_frame(int64_t frame, FrameDimensions size) {
  PoolFrameDelivery d;
  d.worker = 0;
  d.frame = frame;
  d.file = FileFrameTimings{0.5, 0.25, 1000, FileDecodeOutcome::ForeignSize};
  d.foreign_size = size;
  return d;
}

TEST(ForeignFramesLedger, ARefusedFrameIsCountedNeitherDeliveredNorAFailedRead) {
  DeliveryLedger ledger;
  ledger.handed = {4, 5};
  const BatchTimeBase time{1, 24};
  const DeliveryBooking first = book_delivery(ledger, foreign_frame(4, {64, 48}), time, false, {true, false});
  const DeliveryBooking second = book_delivery(ledger, foreign_frame(5, {32, 18}), time, false, {true, false});
  EXPECT_EQ(first.kind, DeliveryKind::ForeignSize);
  EXPECT_EQ(second.kind, DeliveryKind::ForeignSize);
  EXPECT_FALSE(first.key);
  EXPECT_EQ(ledger.foreign_frames, 2u);
  EXPECT_EQ(ledger.foreign_size, (FrameDimensions{64, 48})) << "the first refused size is the one told";
  EXPECT_TRUE(ledger.handed.empty());
  EXPECT_EQ(ledger.delivered, 0u);
  EXPECT_FALSE(ledger.tries.tries_of(4)) << "not a read to try again";
  EXPECT_FALSE(ledger.last_frame_size);
}

TEST(ForeignFramesLedger, TheLineCountsAndNamesBothSizes) {
  EXPECT_EQ(foreign_frames_text(3, {1920, 1440}, {1920, 1080}),
            "pool: lot arrêté — 3 image(s) d'une autre taille refusée(s) (1920x1440 au lieu de 1920x1080)");
}

class ForeignFrames : public ::testing::Test {
 protected:
  void SetUp() override {
    auto [tx, rx] = make_bounded_channel<PoolFrameDelivery>(16);
    tx_ = std::move(tx);
    PoolPlan& plan =
        testing::start_fed_batch(rt_, std::move(rx), kForeignT0, {.frame_step = 1, .expected_frames = 20, .last_frame = 19});
    rt_.comp_dimensions = std::make_pair(64u, 36u);
    plan.file_ds = 4;
    plan.context.file_ds = 4;
    plan.context.dimensions = FrameDimensions{64, 36};
    // A range still queued keeps the batch open; launching is paused.
    plan.queued_ranges.assign(1, QueuedRange{20, 29});
    rt_.pump_paused = true;
    testing::quiet_supervision_world(world_, [this] { return now_; });
  }
  std::vector<IngestedFrame> tick() { return supervise_batches(rt_, 4, world_); }

  fake::LogCapture log_;
  PoolRuntime rt_ = new_pool_runtime(kOutputPsd);
  FrameSender tx_;
  SupervisionWorld world_;
  Instant now_ = kForeignT0 + kS;
};

TEST_F(ForeignFrames, FramesOfTheAskedSizeKeepTheBatchGoing) {
  ASSERT_TRUE(tx_.try_send(good_frame(0)));
  ASSERT_TRUE(tx_.try_send(good_frame(1)));
  EXPECT_EQ(tick().size(), 2u);
  EXPECT_TRUE(rt_.plan);
  EXPECT_FALSE(rt_.disabled_for_session);
  EXPECT_TRUE(log_.lines_with("d'une autre taille").empty());
}

TEST_F(ForeignFrames, TheBatchEndsAtTheCallThatMetThemWithOneLineAndThePoolOff) {
  ASSERT_TRUE(tx_.try_send(good_frame(0)));
  ASSERT_TRUE(tx_.try_send(foreign_frame(1, {16, 12})));
  ASSERT_TRUE(tx_.try_send(good_frame(2)));
  ASSERT_TRUE(tx_.try_send(foreign_frame(3, {16, 12})));
  const std::vector<IngestedFrame> got = tick();
  ASSERT_EQ(got.size(), 2u) << "the frames of the asked size taken in the same call still count";
  EXPECT_EQ(got[0].key.value, 0);
  EXPECT_EQ(got[1].key.value, 2);
  for (const IngestedFrame& f : got) EXPECT_EQ(f.pixels.width, 16u);
  EXPECT_FALSE(rt_.plan) << "the batch ended: its frames go back to the other producers";
  EXPECT_TRUE(rt_.disabled_for_session);
  EXPECT_EQ(log_.lines_with("pool: lot arrêté — 2 image(s) d'une autre taille refusée(s) (16x12 au lieu de 16x9)").size(),
            1u);
  EXPECT_EQ(log_.lines_with("pool: DÉSACTIVÉ pour la session — ").size(), 1u);
  // Nothing more of it, and no batch after it.
  PoolFrameDelivery late = foreign_frame(4, {16, 12});
  EXPECT_FALSE(tx_.try_send(std::move(late))) << "the batch's channel went with it";
  EXPECT_TRUE(tick().empty());
  EXPECT_FALSE(pool_next_batch_ready(rt_, GateWorld{now_ + 60 * kS, 0, 0}));
  EXPECT_EQ(log_.lines_with("d'une autre taille refusée").size(), 1u);
}

}  // namespace
}  // namespace vel
