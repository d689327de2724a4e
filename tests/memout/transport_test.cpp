#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "memout/manifest.h"
#include "memout/output_consumer.h"
#include "memout/output_writer.h"
#include "memout_test_support.h"

namespace vel {
namespace {

using namespace std::chrono_literals;
using testing::ArgbImage;
using testing::make_argb;

OutputRequest request(uint32_t w, uint32_t h, int64_t start = 10, int64_t end = 14) {
  OutputRequest r;
  r.range_start = start;
  r.range_end = end;
  r.step = 1001;
  r.key_scale = 30000;
  r.width = w;
  r.height = h;
  return r;
}

ArgbFrame frame_of(const ArgbImage& img) {
  return ArgbFrame{img.bytes.data(), img.bytes.size(), img.row_bytes, img.width, img.height};
}

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }

  // The host's side then the worker's side of one output, in this process.
  void open_output(const OutputRequest& req) {
    auto c = create_memory_output(output_path(), req);
    ASSERT_TRUE(c) << c.error().message;
    consumer_.emplace(std::move(*c));
    auto w = read_output_manifest(output_path());
    ASSERT_TRUE(w) << w.error().message;
    writer_.emplace(std::move(*w));
    // The host's first look at the empty slot lets the first frame go.
    auto looked = receive_output_frame(*consumer_, pixels_);
    ASSERT_TRUE(looked && !*looked);
  }
  std::string output_path() const { return dir_.file("output.vnm"); }
  HeaderView header() const { return consumer_->segment().header(); }

  testing::ScratchDir dir_;
  std::optional<MemoryOutputConsumer> consumer_;
  std::optional<MemoryOutputWriter> writer_;
  std::vector<uint8_t> pixels_;
};

TEST_F(TransportTest, FramesCrossTheSlotWithTheirRecord) {
  const OutputRequest req = request(37, 5, 10, 12);
  open_output(req);
  const std::string name = consumer_->mapping_name();
  EXPECT_FALSE(testing::shm_exists(name)) << "the producer removes the name once attached";
  EXPECT_EQ(header().producer_attached().load(), 1u);
  EXPECT_EQ(header().unlinked().load(), 1u);
  EXPECT_EQ(consumer_->frames_expected(), 3u);

  for (int64_t frame = 10; frame <= 12; ++frame) {
    const ArgbImage img = make_argb(37, 5, 12, static_cast<uint32_t>(frame));
    auto wrote = write_frame_to_slot(*writer_, frame, frame_of(img), true);
    ASSERT_TRUE(wrote) << wrote.error().message;
    EXPECT_EQ(header().slot_state().load(), kSlotReady);
    EXPECT_EQ(output_completion(*consumer_), OutputCompletion::Running);

    auto got = receive_output_frame(*consumer_, pixels_);
    ASSERT_TRUE(got) << got.error().message;
    ASSERT_TRUE(got->has_value());
    const DeliveredFrame& f = **got;
    EXPECT_EQ(f.frame, frame);
    EXPECT_EQ(f.time_value, frame * 1001);
    EXPECT_EQ(f.time_scale, 30000u);
    EXPECT_EQ(f.width, 37u);
    EXPECT_EQ(f.height, 5u);
    EXPECT_FALSE(f.null_frame);
    EXPECT_EQ(f.slot_wait_ns, wrote->slot_wait_ns);
    EXPECT_EQ(f.copy_ns, wrote->copy_ns);
    EXPECT_EQ(f.publish_ns, wrote->publish_ns);
    EXPECT_NE(f.publish_ns, 0u);
    EXPECT_EQ(pixels_, testing::expected_rgba(img, true));
    EXPECT_EQ(header().slot_state().load(), kSlotFree);

    auto none = receive_output_frame(*consumer_, pixels_);
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->has_value());
  }
  EXPECT_EQ(output_completion(*consumer_), OutputCompletion::Running);
  mark_output_finished(*writer_);
  EXPECT_EQ(output_completion(*consumer_), OutputCompletion::Complete);

  const std::string manifest = consumer_->manifest_path();
  EXPECT_EQ(access(manifest.c_str(), F_OK), 0);
  consumer_.reset();
  EXPECT_NE(access(manifest.c_str(), F_OK), 0) << "the consumer's drop deletes the manifest";
}

TEST_F(TransportTest, NullOutputCarriesRecordsOnly) {
  OutputRequest req = request(640, 360, 0, 1);
  req.null_mode = true;
  open_output(req);
  EXPECT_EQ(writer_->segment.mapped_length(), kSegmentHeaderBytes);
  const ArgbImage img = make_argb(640, 360, 0, 1);
  for (int64_t frame : {0, 1}) {
    auto wrote = write_frame_to_slot(*writer_, frame, frame_of(img), true);
    ASSERT_TRUE(wrote) << wrote.error().message;
    EXPECT_EQ(wrote->copy_ns, 0u);
    pixels_.assign(10, 1);
    auto got = receive_output_frame(*consumer_, pixels_);
    ASSERT_TRUE(got && got->has_value()) << (got ? "" : got.error().message);
    EXPECT_TRUE((*got)->null_frame);
    EXPECT_TRUE(pixels_.empty());
  }
  mark_output_finished(*writer_);
  EXPECT_EQ(output_completion(*consumer_), OutputCompletion::Complete);
}

TEST_F(TransportTest, ProducerRefusalsLeaveTheSlotFree) {
  open_output(request(8, 4, 10, 14));
  const ArgbImage img = make_argb(8, 4, 4, 3);
  ArgbFrame ok = frame_of(img);
  struct Case {
    const char* what;
    int64_t frame;
    std::function<void(ArgbFrame&)> edit;
    std::function<void()> before;
    CancelCheck cancel;
    MemoutErrorKind kind;
    const char* error;
  } cases[] = {
      {"stride below a row",
       10,
       [](ArgbFrame& f) { f.row_bytes = 31; },
       {},
       {},
       MemoutErrorKind::InvalidData,
       "ARGB world is truncated"},
      {"source one byte short",
       10,
       [](ArgbFrame& f) { f.length = 3 * f.row_bytes + 31; },
       {},
       {},
       MemoutErrorKind::InvalidData,
       "ARGB world is truncated"},
      {"huge stride",
       10,
       [](ArgbFrame& f) { f.row_bytes = UINT64_MAX / 2; },
       {},
       {},
       MemoutErrorKind::InvalidData,
       "ARGB world is truncated"},
      {"time overflow", INT64_MAX, [](ArgbFrame&) {}, {}, {}, MemoutErrorKind::InvalidData, "frame time overflow"},
      {"before the range",
       9,
       [](ArgbFrame&) {},
       {},
       {},
       MemoutErrorKind::InvalidData,
       "frame does not belong to this output contract"},
      {"after the range",
       15,
       [](ArgbFrame&) {},
       {},
       {},
       MemoutErrorKind::InvalidData,
       "frame does not belong to this output contract"},
      {"other width",
       10,
       [](ArgbFrame& f) { f.width = 7; },
       {},
       {},
       MemoutErrorKind::InvalidData,
       "frame does not belong to this output contract"},
      {"other height",
       10,
       [](ArgbFrame& f) { f.height = 3; },
       {},
       {},
       MemoutErrorKind::InvalidData,
       "frame does not belong to this output contract"},
      {"cancelled", 10, [](ArgbFrame&) {}, {}, [] { return true; }, MemoutErrorKind::Interrupted, "output cancelled"},
      {"finished",
       10,
       [](ArgbFrame&) {},
       [this] { header().finished().store(1); },
       {},
       MemoutErrorKind::BrokenPipe,
       "output is closed"},
      {"closed",
       10,
       [](ArgbFrame&) {},
       [this] {
         header().finished().store(0);
         close_memory_output(*consumer_);
       },
       {},
       MemoutErrorKind::BrokenPipe,
       "output is closed"},
  };
  for (const Case& c : cases) {
    ArgbFrame f = ok;
    c.edit(f);
    if (c.before) c.before();
    auto r = write_frame_to_slot(*writer_, c.frame, f, true, c.cancel);
    ASSERT_FALSE(r) << c.what;
    EXPECT_EQ(r.error().message, c.error) << c.what;
    EXPECT_EQ(r.error().kind, c.kind) << c.what;
    EXPECT_EQ(header().slot_state().load(), kSlotFree) << c.what;
  }
}

TEST_F(TransportTest, FullSlotTimesOutAndStaysUntouched) {
  open_output(request(8, 4));
  const ArgbImage first = make_argb(8, 4, 0, 1);
  ASSERT_TRUE(write_frame_to_slot(*writer_, 10, frame_of(first), true));
  const ArgbImage second = make_argb(8, 4, 0, 2);
  const SlotWaitPolicy quick{30ms, 1ms};
  auto r = write_frame_to_slot(*writer_, 11, frame_of(second), true, {}, quick);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "consumer did not acknowledge output slot");
  EXPECT_EQ(r.error().kind, MemoutErrorKind::TimedOut);
  EXPECT_EQ(header().slot_state().load(), kSlotReady);
  auto got = receive_output_frame(*consumer_, pixels_);
  ASSERT_TRUE(got && got->has_value());
  EXPECT_EQ((*got)->frame, 10);
  EXPECT_EQ(pixels_, testing::expected_rgba(first, true));

  // While waiting, the host's abort is asked after every sleep.
  ASSERT_TRUE(write_frame_to_slot(*writer_, 11, frame_of(second), true));
  int asked = 0;
  auto cancelled = write_frame_to_slot(
      *writer_, 12, frame_of(second), true, [&] { return ++asked == 3; }, quick);
  ASSERT_FALSE(cancelled);
  EXPECT_EQ(cancelled.error().message, "output cancelled");
  EXPECT_EQ(asked, 3);
}

TEST_F(TransportTest, ConsumerClosingDuringTheCopyGivesTheSlotBack) {
  // A 4096 × 4096 conversion takes milliseconds: long enough for a watcher
  // that closes the output the moment the producer holds the slot.
  open_output(request(4096, 4096, 0, 9));
  const ArgbImage img = make_argb(4096, 4096, 0, 5);
  for (int64_t attempt = 0; attempt < 10; ++attempt) {
    std::atomic<bool> stop{false};
    std::thread watcher([&] {
      while (!stop.load() && header().slot_state().load() != kSlotWriting) {
      }
      header().closed().store(1);
    });
    auto r = write_frame_to_slot(*writer_, attempt, frame_of(img), true);
    stop = true;
    watcher.join();
    if (r) {  // the watcher was descheduled past the copy: try again
      header().closed().store(0);
      header().slot_state().store(kSlotFree);
      continue;
    }
    EXPECT_EQ(r.error().message, "consumer closed during copy");
    EXPECT_EQ(r.error().kind, MemoutErrorKind::BrokenPipe);
    EXPECT_EQ(header().slot_state().load(), kSlotFree);
    return;
  }
  FAIL() << "never caught the producer mid-copy";
}

TEST_F(TransportTest, AttachRefusals) {
  auto c = create_memory_output(output_path(), request(8, 4));
  ASSERT_TRUE(c) << c.error().message;
  const std::string name = c->mapping_name();
  SegmentToken wrong = c->token();
  wrong[15] ^= 1;
  struct Case {
    const char* what;
    SegmentToken token;
    uint64_t capacity;
    std::function<void()> before;
    const char* error;
  } cases[] = {
      {"wrong token", wrong, 128, {}, "shared-memory identity mismatch"},
      {"wrong capacity", c->token(), 124, {}, "shared-memory identity mismatch"},
      {"capacity beyond 64 MiB", c->token(), (64u << 20) + 4, {}, "shared-memory capacity exceeds 64 MiB"},
      {"already attached", c->token(), 128, [&] { c->segment().header().producer_attached().store(1); },
       "shared-memory producer already attached"},
      {"closed", c->token(), 128, [&] { close_memory_output(*c); }, "consumer closed"},
  };
  for (const Case& k : cases) {
    if (k.before) k.before();
    auto r = attach_output_segment(name, k.token, k.capacity);
    ASSERT_FALSE(r) << k.what;
    EXPECT_EQ(r.error().message, k.error) << k.what;
    EXPECT_TRUE(testing::shm_exists(name)) << k.what << ": a refused attach keeps the name";
  }
}

// A producer that writes whatever it likes into the header. Each forged
// record is refused, the consumer's buffer is emptied, the output closed.
TEST_F(TransportTest, ForgedRecordsAreRefusedAndCloseTheOutput) {
  const uint64_t capacity = 8 * 4 * 4;
  struct Case {
    const char* what;
    std::function<void(OutputFrameMeta&, uint64_t&)> forge;
    const char* error;
  } cases[] = {
      {"length beyond capacity", [](OutputFrameMeta&, uint64_t& len) { len = capacity + 1; },
       "shared-memory payload exceeds capacity"},
      {"length at u64 max", [](OutputFrameMeta&, uint64_t& len) { len = UINT64_MAX; },
       "shared-memory payload exceeds capacity"},
      {"short payload", [](OutputFrameMeta&, uint64_t& len) { len = capacity - 4; },
       "frame does not belong to this output contract"},
      {"time scale beyond 32 bits", [](OutputFrameMeta& m, uint64_t&) { m.time_scale = 1ull << 32; },
       "time scale overflow"},
      {"width beyond 32 bits", [](OutputFrameMeta& m, uint64_t&) { m.width = (1ull << 32) + 8; }, "width overflow"},
      {"height beyond 32 bits", [](OutputFrameMeta& m, uint64_t&) { m.height = UINT64_MAX; }, "height overflow"},
      {"unknown mode", [](OutputFrameMeta& m, uint64_t&) { m.mode = 3; }, "unknown output mode"},
      {"other contract", [](OutputFrameMeta& m, uint64_t&) { m.contract[2] = 1; },
       "unknown RGBA8 premultiplied metadata contract"},
      {"straight contract", [](OutputFrameMeta& m, uint64_t&) { m.contract[1] = 0; },
       "unknown RGBA8 premultiplied metadata contract"},
      {"frame outside the range",
       [](OutputFrameMeta& m, uint64_t&) {
         m.frame = 15;
         m.time_value = 15 * 1001;
       },
       "frame does not belong to this output contract"},
      {"wrong time value", [](OutputFrameMeta& m, uint64_t&) { m.time_value += 1; },
       "frame does not belong to this output contract"},
      {"wrong scale", [](OutputFrameMeta& m, uint64_t&) { m.time_scale = 24; },
       "frame does not belong to this output contract"},
      {"wrong size",
       [](OutputFrameMeta& m, uint64_t&) {
         m.width = 4;
         m.height = 8;
       },
       "frame does not belong to this output contract"},
      {"null frame in a pixel output", [](OutputFrameMeta& m, uint64_t&) { m.mode = kFrameModeNull; },
       "frame does not belong to this output contract"},
  };
  for (const Case& c : cases) {
    auto made = create_memory_output(output_path(), request(8, 4, 10, 14));
    ASSERT_TRUE(made) << made.error().message;
    MemoryOutputConsumer consumer = std::move(*made);
    auto view = map_shared_memory(consumer.mapping_name(), kSegmentHeaderBytes + capacity, false);
    ASSERT_TRUE(view);
    const HeaderView forged = view->header();
    OutputFrameMeta m;
    m.frame = 12;
    m.time_value = 12 * 1001;
    m.time_scale = 30000;
    m.width = 8;
    m.height = 4;
    m.mode = kFrameModePixels;
    m.contract[0] = m.contract[1] = 1;
    uint64_t length = capacity;
    c.forge(m, length);
    forged.write_record(m);
    forged.write_payload_length(length);
    forged.slot_state().store(kSlotReady);

    pixels_.assign(16, 9);
    auto r = receive_output_frame(consumer, pixels_);
    ASSERT_FALSE(r) << c.what;
    EXPECT_EQ(r.error().message, c.error) << c.what;
    EXPECT_EQ(r.error().kind, MemoutErrorKind::InvalidData) << c.what;
    EXPECT_EQ(testing::header_word(consumer.segment(), HeaderWord::Closed), 1u) << c.what;
    EXPECT_EQ(testing::header_word(consumer.segment(), HeaderWord::SlotState), kSlotFree) << c.what;
    if (std::string(c.error) != "shared-memory payload exceeds capacity") {
      EXPECT_TRUE(pixels_.empty()) << c.what;
    }
    EXPECT_EQ(consumer.frames_received(), 0u) << c.what;
  }
}

TEST_F(TransportTest, SecondDeliveryOfAFrameIsRefused) {
  open_output(request(8, 4, 10, 14));
  const ArgbImage img = make_argb(8, 4, 0, 1);
  ASSERT_TRUE(write_frame_to_slot(*writer_, 12, frame_of(img), true));
  ASSERT_TRUE(receive_output_frame(*consumer_, pixels_));
  ASSERT_TRUE(write_frame_to_slot(*writer_, 12, frame_of(img), true));
  auto r = receive_output_frame(*consumer_, pixels_);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message, "duplicate output frame");
  EXPECT_TRUE(pixels_.empty());
  auto next = write_frame_to_slot(*writer_, 13, frame_of(img), true);
  ASSERT_FALSE(next);
  EXPECT_EQ(next.error().message, "output is closed");
  auto after = receive_output_frame(*consumer_, pixels_);
  ASSERT_FALSE(after);
  EXPECT_EQ(after.error().message, "consumer closed");
  EXPECT_EQ(after.error().kind, MemoutErrorKind::BrokenPipe);
}

// The producer's finished word is its own claim; the output is complete only
// when every frame of the range was delivered.
TEST_F(TransportTest, FinishedWithAFrameMissingIsIncomplete) {
  open_output(request(8, 4, 0, 2));
  const ArgbImage img = make_argb(8, 4, 0, 1);
  for (int64_t frame : {0, 2}) {
    ASSERT_TRUE(write_frame_to_slot(*writer_, frame, frame_of(img), true));
    if (frame == 2) {
      mark_output_finished(*writer_);
      EXPECT_EQ(output_completion(*consumer_), OutputCompletion::Running) << "a frame is still in the slot";
    }
    ASSERT_TRUE(receive_output_frame(*consumer_, pixels_));
  }
  EXPECT_FALSE(all_frames_received(*consumer_));
  EXPECT_EQ(consumer_->frames_received(), 2u);
  EXPECT_EQ(output_completion(*consumer_), OutputCompletion::Incomplete);
}

// An empty range (end = start - 1) expects nothing: it is complete as soon
// as the producer says so, and any frame it is offered is refused.
TEST_F(TransportTest, EmptyRangeIsCompleteOnceFinished) {
  open_output(request(8, 4, 5, 4));
  EXPECT_EQ(consumer_->frames_expected(), 0u);
  EXPECT_TRUE(all_frames_received(*consumer_));
  EXPECT_EQ(output_completion(*consumer_), OutputCompletion::Running);
  const ArgbImage img = make_argb(8, 4, 0, 1);
  for (int64_t frame : {4, 5}) {
    auto r = write_frame_to_slot(*writer_, frame, frame_of(img), true);
    ASSERT_FALSE(r) << frame;
    EXPECT_EQ(r.error().message, "frame does not belong to this output contract");
  }
  mark_output_finished(*writer_);
  EXPECT_EQ(output_completion(*consumer_), OutputCompletion::Complete);
}

// Whatever the producer did or claims, the consumer's drop removes the name.
TEST_F(TransportTest, DropRemovesTheNameWhateverTheProducerClaims) {
  for (bool claim_unlinked : {false, true}) {
    auto c = create_memory_output(output_path(), request(8, 4));
    ASSERT_TRUE(c) << c.error().message;
    const std::string name = c->mapping_name();
    const std::string manifest = c->manifest_path();
    ASSERT_TRUE(testing::shm_exists(name));
    if (claim_unlinked) c->segment().header().unlinked().store(1);
    { MemoryOutputConsumer dropped = std::move(*c); }
    EXPECT_FALSE(testing::shm_exists(name)) << "claimed unlinked: " << claim_unlinked;
    EXPECT_NE(access(manifest.c_str(), F_OK), 0);
  }
}

TEST_F(TransportTest, FailedCreationLeavesNothingBehind) {
  const auto before = testing::shm_entries(testing::own_segment_prefix());
  auto huge = create_memory_output(output_path(), request(30000, 30000));
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().message, "RGBA8 output exceeds 64 MiB");
  auto relative = create_memory_output("output.vnm", request(8, 4));
  ASSERT_FALSE(relative);
  EXPECT_EQ(relative.error().message, "output manifest identity mismatch");

  // A manifest already in place is neither replaced nor removed.
  const std::string manifest = output_path() + kManifestSuffix;
  { std::ofstream(manifest) << "keep"; }
  auto taken = create_memory_output(output_path(), request(8, 4));
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().os_code, EEXIST);
  std::string kept;
  std::ifstream(manifest) >> kept;
  EXPECT_EQ(kept, "keep");
  EXPECT_EQ(testing::shm_entries(testing::own_segment_prefix()), before);
}

// The worker's attaching moves the segment's times (its first store into
// each page), here in a later tick of the file clock than the host's making
// of it. A first frame published before the host has looked could not be
// told from one a cut had taken bytes from, and was refused: the first
// frame waits for the host's first look, and is then taken whole.
TEST_F(TransportTest, TheFirstFrameWaitsForTheHostsFirstLookAndIsTakenWhole) {
  const OutputRequest req = request(64, 64, 10, 14);
  auto c = create_memory_output(output_path(), req);
  ASSERT_TRUE(c) << c.error().message;
  consumer_.emplace(std::move(*c));
  timespec made{}, now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &made);
  do ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  while (now.tv_sec == made.tv_sec && now.tv_nsec == made.tv_nsec);
  auto w = read_output_manifest(output_path());
  ASSERT_TRUE(w) << w.error().message;
  writer_.emplace(std::move(*w));

  const ArgbImage first = make_argb(64, 64, 0, 7);
  const SlotWaitPolicy quick{30ms, 1ms};
  auto early = write_frame_to_slot(*writer_, 10, frame_of(first), true, {}, quick);
  ASSERT_FALSE(early) << "the first frame went before the host looked";
  EXPECT_EQ(early.error().kind, MemoutErrorKind::TimedOut);

  auto looked = receive_output_frame(*consumer_, pixels_);
  ASSERT_TRUE(looked && !*looked);
  ASSERT_TRUE(write_frame_to_slot(*writer_, 10, frame_of(first), true));
  auto got = receive_output_frame(*consumer_, pixels_);
  ASSERT_TRUE(got) << got.error().message;
  ASSERT_TRUE(got->has_value());
  EXPECT_EQ(pixels_, testing::expected_rgba(first, true));
}

}  // namespace
}  // namespace vel
