#include "pool/decode/frame_file_handoff.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

namespace vel {
namespace {

const BatchTimeBase kHandoffTime{1001, 24000};

DiscoveredFile file(int64_t frame, double age_ms = 10.0, std::optional<uint64_t> worker = 0) {
  return {"/tmp/job/w0/f_" + std::to_string(frame) + ".psd", frame, true, age_ms, worker};
}

bool any_owner(std::optional<uint64_t>, int64_t) { return true; }

TEST(FrameFileHandoff, DropsWhatIsNotWantedAndSendsTheRest) {
  DeliveryLedger ledger;
  ledger.tries = {{1, 0}, {2, 120}, {3, 4}};
  ledger.handed = {4};
  std::deque<DiscoveredFile> pending{file(1), file(2), file(3, 50.0), file(4), file(5, 30.0), file(int64_t{1} << 22)};
  std::vector<DecodeJob> jobs;
  DiscoveryTimes times;
  const size_t sent = hand_frame_files(
      pending, ledger, kHandoffTime, 2, any_owner,
      [&](DecodeJob j) {
        jobs.push_back(std::move(j));
        return true;
      },
      times);
  EXPECT_EQ(sent, 2u);
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].frame, 3);
  EXPECT_EQ(jobs[1].frame, 5);
  EXPECT_DOUBLE_EQ(jobs[1].time_s, 5 * 1001 / 24000.0);
  EXPECT_EQ(jobs[1].decimation_factor, 2u);
  EXPECT_EQ(jobs[1].path, "/tmp/job/w0/f_5.psd");
  EXPECT_TRUE(pending.empty());
  EXPECT_EQ(ledger.handed, (std::set<int64_t>{3, 4, 5}));
  // Frame 3 had failed reads: only frame 5 counts as found on its first try.
  EXPECT_EQ(times.count, 1u);
  EXPECT_EQ(times.ms_sum, 30.0);
  EXPECT_EQ(times.ms_max, 30.0);
}

// A file its worker was not given is dropped unread and leaves no trace in
// the ledger: the owner test sees the worker the file's folder names.
TEST(FrameFileHandoff, AFrameOutsideItsWorkersRangeIsNotRead) {
  DeliveryLedger ledger;
  std::deque<DiscoveredFile> pending{file(3, 10.0, 0), file(1003, 10.0, 0), file(10, 10.0, 0), file(10, 10.0, 1),
                                     file(4, 10.0, std::nullopt)};
  std::vector<std::pair<std::optional<uint64_t>, int64_t>> asked;
  const auto owned = [&](std::optional<uint64_t> worker, int64_t frame) {
    asked.emplace_back(worker, frame);
    return worker && frame >= 10 * static_cast<int64_t>(*worker) && frame < 10 * static_cast<int64_t>(*worker) + 10;
  };
  std::vector<DecodeJob> jobs;
  DiscoveryTimes times;
  EXPECT_EQ(hand_frame_files(
                pending, ledger, kHandoffTime, 1, owned,
                [&](DecodeJob j) {
                  jobs.push_back(std::move(j));
                  return true;
                },
                times),
            2u);
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].frame, 3);
  EXPECT_EQ(jobs[1].frame, 10);
  EXPECT_EQ(ledger.handed, (std::set<int64_t>{3, 10}));
  EXPECT_TRUE(ledger.tries.empty());
  EXPECT_EQ(times.count, 2u);
  ASSERT_EQ(asked.size(), 5u);
  EXPECT_EQ(asked[3], (std::pair<std::optional<uint64_t>, int64_t>{1, 10}));
  EXPECT_EQ(asked[4], (std::pair<std::optional<uint64_t>, int64_t>{std::nullopt, 4}));
}

TEST(FrameFileHandoff, AtMost32ACallAndAFullQueueKeepsTheFile) {
  DeliveryLedger ledger;
  std::deque<DiscoveredFile> pending;
  for (int f = 0; f < 40; ++f) pending.push_back(file(f));
  DiscoveryTimes times;
  size_t room = 32;
  EXPECT_EQ(hand_frame_files(pending, ledger, kHandoffTime, 1, any_owner, [&](DecodeJob) { return room-- > 0; }, times), 32u);
  ASSERT_EQ(pending.size(), 8u);
  EXPECT_EQ(pending.front().frame, 32);

  room = 3;
  EXPECT_EQ(hand_frame_files(pending, ledger, kHandoffTime, 1, any_owner, [&](DecodeJob) { return room-- > 0; }, times), 3u);
  ASSERT_EQ(pending.size(), 5u);
  EXPECT_EQ(pending.front().frame, 35);  // refused, back at the front
  EXPECT_EQ(ledger.handed.count(35), 0u);
}

TEST(FrameFileHandoff, DecimationAndTime) {
  struct Case {
    uint64_t output_ds, file_ds, want;
  } cases[] = {{1, 1, 1}, {4, 2, 2}, {8, 2, 4}, {2, 4, 1}, {0, 0, 1}, {3, 2, 1}};
  for (const Case& c : cases) EXPECT_EQ(decimation_factor(c.output_ds, c.file_ds), c.want);
  EXPECT_EQ(frame_time_seconds(48, {1, 0}), 48.0);
  EXPECT_EQ(frame_time_seconds(48, {1, 24}), 2.0);
}

}  // namespace
}  // namespace vel
