// A producer holds the segment's file as much as the host does and may shrink
// it after the host mapped it. Whatever it does, the host must refuse the
// output, never fault. Each case runs in a child so that a host that would
// die of SIGBUS fails the case instead of ending the whole suite.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <thread>
#include <optional>

#include "memout/guarded_copy.h"
#include "memout/output_consumer.h"
#include "memout_test_support.h"
#include "producer_cuts.h"

namespace vel {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kWidth = 64;
constexpr uint32_t kHeight = 48;
constexpr uint64_t kCapacity = uint64_t{kWidth} * kHeight * 4;

// Exit codes of the child, one per way the host may go wrong.
enum Outcome : int {
  kRefused = 0,
  kSetupFailed = 10,
  kDelivered = 11,
  kWrongError = 12,
  kLeftOpen = 13,
};

OutputRequest request() {
  OutputRequest r;
  r.range_start = 0;
  r.range_end = 3;
  r.step = 1;
  r.key_scale = 24;
  r.width = kWidth;
  r.height = kHeight;
  return r;
}

// A record the consumer would accept for frame 1 of `request()`.
void publish_valid_record(const HeaderView& h) {
  OutputFrameMeta m;
  m.frame = 1;
  m.time_value = 1;
  m.time_scale = 24;
  m.width = kWidth;
  m.height = kHeight;
  m.mode = kFrameModePixels;
  m.contract[0] = m.contract[1] = 1;
  h.write_record(m);
  h.write_payload_length(kCapacity);
  h.slot_state().store(kSlotReady, std::memory_order_release);
}

// The host's side in the child: create the output, let the hostile producer
// shrink it to `shrunk_to` bytes (publishing before or after), then take.
int host_meets_shrinking_producer(const std::string& output_path, uint64_t shrunk_to, bool publish_first) {
  auto made = create_memory_output(output_path, request());
  if (!made) return kSetupFailed;
  MemoryOutputConsumer consumer = std::move(*made);
  const int fd = shm_open(consumer.mapping_name().c_str(), O_RDWR, 0);
  if (fd < 0) return kSetupFailed;
  void* view = mmap(nullptr, kSegmentHeaderBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return kSetupFailed;
  if (publish_first) publish_valid_record(HeaderView(view));
  if (ftruncate(fd, static_cast<off_t>(shrunk_to)) != 0) return kSetupFailed;
  if (!publish_first) publish_valid_record(HeaderView(view));

  std::vector<uint8_t> pixels;
  auto got = receive_output_frame(consumer, pixels);
  if (got) return kDelivered;
  if (got.error().message != "shared-memory mapping is too short") return kWrongError;
  if (shrunk_to >= kSegmentHeaderBytes && testing::header_word(consumer.segment(), HeaderWord::Closed) == 0) {
    return kLeftOpen;
  }
  if (output_completion(consumer) != OutputCompletion::Incomplete) return kLeftOpen;
  close_memory_output(consumer);
  return kRefused;  // dropping the consumer must not fault either
}

TEST(ShrunkSegmentTest, HostRefusesTheOutputInsteadOfFaulting) {
  struct Case {
    const char* what;
    uint64_t shrunk_to;
    bool publish_first;
  } cases[] = {
      {"payload cut away, then a valid record", kSegmentHeaderBytes, false},
      {"payload cut in half, then a valid record", kSegmentHeaderBytes + kCapacity / 2, false},
      {"one payload byte short, then a valid record", kSegmentHeaderBytes + kCapacity - 1, false},
      {"valid record, then everything cut away", 0, true},
  };
  for (const Case& c : cases) {
    testing::ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string output = dir.file("output.vnm");
    testing::ForkedChild child([&] { return host_meets_shrinking_producer(output, c.shrunk_to, c.publish_first); });
    ASSERT_TRUE(child.started());
    const auto status = child.wait(20s);
    ASSERT_TRUE(status) << c.what;
    ASSERT_TRUE(WIFEXITED(*status)) << c.what << ": the host died of signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), kRefused) << c.what;
  }
}

// What the host does to the segment while the producer cuts it.
enum class HostStep { Close, Drop, Receive, Completion };

struct CutCase {
  const char* what;
  HostStep step;
  std::vector<testing::ProducerCut> cuts;
  const char* refusal = "";        // Receive: the error's text
  bool copy_by_descriptor = false;  // the host's SIGBUS guard taken away (another handler holds SIGBUS)
};

enum CutOutcome : int {
  kCutSurvived = 0,
  kCutSetupFailed = 20,
  kCutNeverActed = 21,
  kCutFrameDelivered = 22,
  kCutWrongRefusal = 23,
  kCutNotIncomplete = 24,
  kCutPixelsKept = 25,
};

// The host's side in the child: a valid frame waits in the slot (and the
// producer said it finished), then the host does `step` while the producer
// cuts the file at the touches the case names.
int host_step_under_cuts(const std::string& output_path, const CutCase& c) {
  auto made = create_memory_output(output_path, request());
  if (!made) return kCutSetupFailed;
  std::optional<MemoryOutputConsumer> consumer(std::move(*made));
  const int fd = shm_open(consumer->mapping_name().c_str(), O_RDWR, 0);
  if (fd < 0) return kCutSetupFailed;
  void* view = mmap(nullptr, kSegmentHeaderBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return kCutSetupFailed;
  publish_valid_record(HeaderView(view));
  HeaderView(view).finished().store(1, std::memory_order_release);
  if (c.copy_by_descriptor) {
    uint8_t byte = 0;
    (void)copy_from_shared_mapping(&byte, static_cast<const uint8_t*>(view), 1);  // the guard in place
    signal(SIGBUS, SIG_DFL);                                                     // and taken from it
  }
  munmap(view, kSegmentHeaderBytes);

  testing::arm_producer_cuts(fd, kSegmentHeaderBytes + kCapacity, c.cuts);
  std::vector<uint8_t> pixels;
  int outcome = kCutSurvived;
  switch (c.step) {
    case HostStep::Close:
      close_memory_output(*consumer);
      break;
    case HostStep::Drop:
      consumer.reset();
      break;
    case HostStep::Receive: {
      auto got = receive_output_frame(*consumer, pixels);
      if (got) {
        outcome = kCutFrameDelivered;
      } else if (got.error().message != c.refusal) {
        outcome = kCutWrongRefusal;
      } else if (!pixels.empty()) {
        outcome = kCutPixelsKept;
      }
      break;
    }
    case HostStep::Completion:
      if (output_completion(*consumer) != OutputCompletion::Incomplete) outcome = kCutNotIncomplete;
      break;
  }
  if (outcome == kCutSurvived && testing::producer_cuts_done() != static_cast<int>(c.cuts.size())) {
    outcome = kCutNeverActed;
  }
  consumer.reset();  // and the drop after it all must not fault either
  testing::disarm_producer_cuts();
  return outcome;
}

// Each of the host's touches of the segment, with the file cut between the
// host's look at its size and the touch, or under the copy: the host never
// faults, and never hands on a frame the cut reached.
TEST(ShrunkSegmentTest, ACutBetweenTheHostsCheckAndItsTouchNeverFaults) {
  using At = testing::ProducerCut::At;
  const uint64_t half = kSegmentHeaderBytes + kCapacity / 2;
  const CutCase cases[] = {
      {"close: the header cut after the size look", HostStep::Close, {{At::SizeLook, 1, 0}}},
      {"drop: the header cut after the size look", HostStep::Drop, {{At::SizeLook, 1, 0}}},
      {"take: the header cut after the size look",
       HostStep::Receive,
       {{At::SizeLook, 1, 0}},
       "shared-memory mapping is too short"},
      {"take: the payload cut after the first look, the header after the second",
       HostStep::Receive,
       {{At::SizeLook, 1, half}, {At::SizeLook, 2, 0}},
       "shared-memory mapping is too short"},
      {"take: the file cut and grown again under the copy",
       HostStep::Receive,
       {{At::PayloadRead, 1, 0, true}},
       "shared-memory slot changed during the copy",
       true},
      {"completion: the header cut after the size look", HostStep::Completion, {{At::SizeLook, 1, 0}}},
      // A cut that takes no page raises no fault and leaves the header whole:
      // only the file's status tells that the last byte came back zeroed.
      {"take: one byte cut off and grown again after the first look",
       HostStep::Receive,
       {{At::SizeLook, 1, kSegmentHeaderBytes + kCapacity - 1, true}},
       "shared-memory segment changed under the frame"},
      {"take: one byte cut off and grown again after the first look, read through the descriptor",
       HostStep::Receive,
       {{At::SizeLook, 1, kSegmentHeaderBytes + kCapacity - 1, true}},
       "shared-memory segment changed under the frame",
       true},
      {"take: one byte cut off and grown again under the copy through the descriptor",
       HostStep::Receive,
       {{At::PayloadRead, 1, kSegmentHeaderBytes + kCapacity - 1, true}},
       "shared-memory segment changed under the frame",
       true},
  };
  for (const CutCase& c : cases) {
    testing::ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string output = dir.file("output.vnm");
    testing::ForkedChild child([&] { return host_step_under_cuts(output, c); });
    ASSERT_TRUE(child.started());
    const auto status = child.wait(20s);
    ASSERT_TRUE(status) << c.what;
    if (!WIFEXITED(*status)) {
      ADD_FAILURE() << c.what << ": the host died of signal " << WTERMSIG(*status);
      continue;
    }
    EXPECT_EQ(WEXITSTATUS(*status), kCutSurvived) << c.what;
  }
}

// Waits until the clock the file system stamps changes with has passed the
// file's change time, so that the next change carries another time even
// where timestamps are coarse (one clock tick): the host cannot tell two
// changes within one tick apart there, which is not what these cases are
// about.
void wait_past_change_time(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return;
  for (int i = 0; i < 1000; ++i) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    if (now.tv_sec > st.st_ctim.tv_sec || (now.tv_sec == st.st_ctim.tv_sec && now.tv_nsec > st.st_ctim.tv_nsec)) {
      return;
    }
    std::this_thread::sleep_for(1ms);
  }
}

// A producer that cuts one byte off its segment's end and grows it back
// while a frame waits in the slot, before the host's first look at it: the
// frame is refused, never delivered with its last pixel's alpha zeroed. The
// status the host left when it released the frame before is what the frame
// is held to, or for the first frame the status of the first empty slot
// after the producer set the unlinked word.
TEST(ShrunkSegmentTest, ACutThatTakesNoPageNeverDeliversAFrameWithBytesZeroed) {
  struct Case {
    const char* what;
    int cut_before_frame;  // 0: no cut
    bool empty_poll = true;  // the host saw the slot empty once the producer attached
  } cases[] = {
      {"no cut: both frames delivered whole", 0},
      {"no cut, the first frame published before the host's first look", 0, false},
      {"cut before the first frame, after an empty slot the producer had attached to", 1},
      {"cut before the first frame, published before the host's first look", 1, false},
      {"cut before the second frame", 2},
  };
  for (const Case& c : cases) {
    testing::ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    auto made = create_memory_output(dir.file("output.vnm"), request());
    ASSERT_TRUE(made) << made.error().message;
    MemoryOutputConsumer consumer = std::move(*made);
    const int fd = shm_open(consumer.mapping_name().c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    void* view = mmap(nullptr, kSegmentHeaderBytes + kCapacity, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(view, MAP_FAILED);
    const HeaderView h(view);
    // The producer's side as the module does it: every page looked at, then
    // the unlinked word, which the host's empty poll then sees.
    for (uint64_t at = 0; at < kSegmentHeaderBytes + kCapacity; at += 4096) {
      (void)*static_cast<volatile uint8_t*>(static_cast<uint8_t*>(view) + at);
    }
    (void)*static_cast<volatile uint8_t*>(h.payload() + kCapacity - 1);
    h.unlinked().store(1, std::memory_order_release);
    std::vector<uint8_t> pixels;
    if (c.empty_poll) {
      auto empty = receive_output_frame(consumer, pixels);
      ASSERT_TRUE(empty && !empty->has_value()) << c.what;
    }
    bool refused = false;
    for (int frame = 1; frame <= 2 && !refused; ++frame) {
      std::memset(h.payload(), 0, kCapacity);
      h.payload()[kCapacity - 1] = 230;  // the last pixel's alpha
      publish_valid_record(h);
      OutputFrameMeta m;
      std::memcpy(&m, static_cast<uint8_t*>(view) + kSlotFrameOffset + sizeof(uint64_t), sizeof m);
      m.frame = frame;
      m.time_value = frame;
      std::memcpy(static_cast<uint8_t*>(view) + kSlotFrameOffset + sizeof(uint64_t), &m, sizeof m);
      if (frame == c.cut_before_frame) {
        wait_past_change_time(fd);
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kSegmentHeaderBytes + kCapacity - 1)), 0);
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kSegmentHeaderBytes + kCapacity)), 0);
      }
      auto got = receive_output_frame(consumer, pixels);
      if (!got) {
        EXPECT_EQ(frame, c.cut_before_frame) << c.what << ": " << got.error().message;
        EXPECT_EQ(got.error().message, "shared-memory segment changed under the frame") << c.what;
        EXPECT_TRUE(pixels.empty()) << c.what;
        EXPECT_EQ(testing::header_word(consumer.segment(), HeaderWord::Closed), 1u) << c.what;
        refused = true;
        continue;
      }
      ASSERT_TRUE(got->has_value()) << c.what;
      ASSERT_EQ(pixels.size(), kCapacity) << c.what;
      EXPECT_EQ(pixels.back(), 230) << c.what << ": frame " << frame << " delivered with its last byte zeroed";
      EXPECT_NE(frame, c.cut_before_frame) << c.what << ": a frame cut under was delivered";
    }
    EXPECT_EQ(refused, c.cut_before_frame != 0) << c.what;
    munmap(view, kSegmentHeaderBytes + kCapacity);
    close(fd);
  }
}

// The producer cuts one byte off its file (a cut that takes no page) between
// the host's take, which found the slot empty with the file whole, and the
// host's question whether the output is over: the answer is a refusal with
// its reason, which the reader then logs as it logs a take's, not the
// Incomplete of a producer that finished short; once the file is whole
// again, an output still running says so.
TEST(ShrunkSegmentTest, AFileStandingCutWhenTheHostAsksWhetherTheOutputIsOverIsRefusedWithItsReason) {
  testing::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  auto made = create_memory_output(dir.file("output.vnm"), request());
  ASSERT_TRUE(made) << made.error().message;
  MemoryOutputConsumer consumer = std::move(*made);
  const int fd = shm_open(consumer.mapping_name().c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> pixels;
  auto empty = receive_output_frame(consumer, pixels);
  ASSERT_TRUE(empty && !empty->has_value()) << (empty ? "" : empty.error().message);
  auto running = checked_output_completion(consumer);
  ASSERT_TRUE(running) << running.error().message;
  EXPECT_EQ(*running, OutputCompletion::Running);

  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kSegmentHeaderBytes + kCapacity - 1)), 0);
  auto cut = checked_output_completion(consumer);
  ASSERT_FALSE(cut) << "a cut segment answered as an output that can still complete";
  EXPECT_EQ(cut.error().message, "shared-memory mapping is too short");
  EXPECT_EQ(output_completion(consumer), OutputCompletion::Incomplete);

  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kSegmentHeaderBytes + kCapacity)), 0);
  auto whole = checked_output_completion(consumer);
  ASSERT_TRUE(whole) << whole.error().message;
  EXPECT_EQ(*whole, OutputCompletion::Running);
  close(fd);
}

// The payload is read through the descriptor: a file shrunk after the size
// check answers short rather than faulting.
TEST(ShrunkSegmentTest, ReadThroughTheDescriptorAnswersShort) {
  const std::string name = next_segment_identity().name;
  auto segment = map_shared_memory(name, kSegmentHeaderBytes + kCapacity, true);
  ASSERT_TRUE(segment) << segment.error().message;
  std::vector<uint8_t> out(kCapacity);
  ASSERT_TRUE(segment->check_whole());
  ASSERT_TRUE(segment->read_exact(kSegmentHeaderBytes, out.data(), kCapacity));

  const int fd = shm_open(name.c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kSegmentHeaderBytes + 10)), 0);
  close(fd);
  auto whole = segment->check_whole();
  ASSERT_FALSE(whole);
  EXPECT_EQ(whole.error().message, "shared-memory mapping is too short");
  auto read = segment->read_exact(kSegmentHeaderBytes, out.data(), kCapacity);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().message, "shared-memory mapping is too short");
  EXPECT_TRUE(segment->read_exact(kSegmentHeaderBytes, out.data(), 10));
  EXPECT_FALSE(segment->read_exact(kSegmentHeaderBytes, out.data(), UINT64_MAX)) << "bounded by the mapping";
}

}  // namespace
}  // namespace vel
