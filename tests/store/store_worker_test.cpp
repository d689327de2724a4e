#include "store/store_worker.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <type_traits>
#include <vector>

#include "core/repeat_log.h"

#include "store/frame_file_io.h"
#include "store/store_names.h"
#include "store/store_test_support.h"
#include "store/stream_dir.h"

namespace vel {
namespace {

using test::pattern_frame;

class StoreWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    test::put_file(snapshot_, {'a', 'e', 'p'});
    stream_ = root_ / "Main" / stream_dir_name(*fingerprint_file(snapshot_, [] { return true; }));
  }
  // The next reply, which the test expects to be of kind T; the listing an
  // opening sends first is passed over unless asked for.
  template <class T>
  T next(StoreHandle& h) {
    std::optional<StoreReply> r = h.wait_reply();
    if constexpr (!std::is_same_v<T, ListedReply>) {
      if (r && std::holds_alternative<ListedReply>(r->body)) r = h.wait_reply();
    }
    EXPECT_TRUE(r);
    if (!r || !std::holds_alternative<T>(r->body)) {
      ADD_FAILURE() << "reply of another kind: " << (r ? r->body.index() : 99);
      return T{};
    }
    return std::get<T>(std::move(r->body));
  }

  testing::ScratchDir scratch_{"vel-store"};
  std::filesystem::path root_ = scratch_.path() / "framestore-fast-v1";
  std::filesystem::path snapshot_ = scratch_.path() / "project.aep";
  std::filesystem::path stream_;
};

TEST_F(StoreWorkerTest, OpeningPreloadsFromTheFocusOnwardThenWraps) {
  ASSERT_TRUE(claim_stream_dir(stream_, "Main"));
  for (int32_t v : {9, 0, 4, 6, 2, 7}) ASSERT_TRUE(write_raw_frame_file(stream_, {v, 24}, pattern_frame(2, 2, 1)));
  ASSERT_TRUE(write_raw_frame_file(stream_, {6, 12}, pattern_frame(2, 2, 1)));
  StoreHandle h = spawn_store_worker(root_);
  ASSERT_TRUE(h.send(OpenStreamJob{snapshot_, "Main", 5, 6}));
  std::vector<std::pair<int32_t, uint32_t>> order;
  for (int i = 0; i < 5; ++i) {
    const LoadedFrame f = next<FrameReply>(h).frame;
    order.emplace_back(f.key.value, f.key.scale);
  }
  EXPECT_EQ(order, (std::vector<std::pair<int32_t, uint32_t>>{{6, 12}, {6, 24}, {7, 24}, {9, 24}, {0, 24}}));
  EXPECT_EQ(next<OpenedReply>(h).frames_sent, 5u);
  EXPECT_TRUE(std::filesystem::exists(stream_ / ".last_used"));
}

TEST_F(StoreWorkerTest, WritesThenLoadsThroughTheThread) {
  StoreHandle h = spawn_store_worker(root_);
  ASSERT_TRUE(h.send(OpenStreamJob{snapshot_, "Main", 10, std::nullopt}));
  EXPECT_EQ(next<OpenedReply>(h).frames_sent, 0u);
  EXPECT_FALSE(std::filesystem::exists(stream_)) << "nothing on disk before the first frame";
  const RgbaFrame f = pattern_frame(32, 16, 4, 0.5);
  ASSERT_TRUE(h.send(WriteFrameJob{{12, 24}, f}, f.pixels.size()));
  const SavedReply saved = next<SavedReply>(h);
  EXPECT_EQ(saved.key, (FrameKey{12, 24}));
  EXPECT_GT(saved.saved_bytes, 0u) << "the pattern compresses";
  EXPECT_EQ(stream_owner(stream_, "Main"), StreamOwner::Ours);
  ASSERT_TRUE(h.send(LoadJob{{{12, 24}, {13, 24}}}));
  const LoadedFrame got = next<FrameReply>(h).frame;
  EXPECT_EQ(got.key, (FrameKey{12, 24}));
  ASSERT_EQ(got.pixels.size(), f.pixels.size());
  EXPECT_EQ(std::memcmp(got.pixels.data(), f.pixels.data(), f.pixels.size()), 0);
  EXPECT_EQ(next<MissingReply>(h).keys, (std::vector<FrameKey>{{13, 24}}));
}

// The main thread asks only for what the store holds: the opening lists the
// stream's frames before its preload, and the keys a load does not find go
// back in runs, not one reply each (two replies wait at most, so thousands
// of them answered one by one took thousands of ticks).
TEST_F(StoreWorkerTest, TheOpeningListsTheStreamFirstAndMissingKeysComeBackInRuns) {
  ASSERT_TRUE(claim_stream_dir(stream_, "Main"));
  for (int32_t v : {4, 0, 2}) ASSERT_TRUE(write_raw_frame_file(stream_, {v, 24}, pattern_frame(2, 2, 1)));
  // An alias whose frame a crash removed holds no frame: neither listed
  // nor left on disk.
  test::put_file(stream_ / frame_file_name({6, 24}), test::alias_file({6, 24}, 0.25, {5, 24}));
  StoreHandle h = spawn_store_worker(root_);
  ASSERT_TRUE(h.send(OpenStreamJob{snapshot_, "Main", 10, std::nullopt}));
  std::vector<FrameKey> listed = next<ListedReply>(h).keys;
  std::sort(listed.begin(), listed.end(), frame_key_time_less);
  EXPECT_EQ(listed, (std::vector<FrameKey>{{0, 24}, {2, 24}, {4, 24}}));
  for (int i = 0; i < 3; ++i) (void)next<FrameReply>(h);
  EXPECT_EQ(next<OpenedReply>(h).frames_sent, 3u);
  EXPECT_FALSE(std::filesystem::exists(stream_ / frame_file_name({6, 24})));

  // In the order asked: the runs of keys it lacks between the frames.
  LoadJob job;
  for (int32_t v = 0; v < 6; ++v) job.keys.push_back({v, 24});
  for (int32_t v = 100; v < 100 + static_cast<int32_t>(kMissingPerReply) + 10; ++v) job.keys.push_back({v, 24});
  ASSERT_TRUE(h.send(std::move(job)));
  EXPECT_EQ(next<FrameReply>(h).frame.key, (FrameKey{0, 24}));
  EXPECT_EQ(next<MissingReply>(h).keys, (std::vector<FrameKey>{{1, 24}}));
  EXPECT_EQ(next<FrameReply>(h).frame.key, (FrameKey{2, 24}));
  EXPECT_EQ(next<MissingReply>(h).keys, (std::vector<FrameKey>{{3, 24}}));
  EXPECT_EQ(next<FrameReply>(h).frame.key, (FrameKey{4, 24}));
  const std::vector<FrameKey> run = next<MissingReply>(h).keys;
  ASSERT_EQ(run.size(), kMissingPerReply) << "a long run in parts of a bounded size";
  EXPECT_EQ(run.front(), (FrameKey{5, 24}));
  EXPECT_EQ(next<MissingReply>(h).keys.size(), 11u);
}

// A stream that cannot be opened (the snapshot gone or changing under the
// fingerprint) still answers with an empty listing: the window's frames
// that waited for it are rendered, not held back until the next save.
TEST_F(StoreWorkerTest, AStreamThatCannotBeOpenedListsNothing) {
  ASSERT_TRUE(claim_stream_dir(stream_, "Main"));
  ASSERT_TRUE(write_raw_frame_file(stream_, {3, 24}, pattern_frame(2, 2, 1)));
  StoreHandle h = spawn_store_worker(root_);
  ASSERT_TRUE(h.send(OpenStreamJob{scratch_.path() / "gone.aep", "Main", 10, std::nullopt}));
  ASSERT_TRUE(h.send(OpenStreamJob{snapshot_, "Main", 0, std::nullopt}));
  std::vector<std::vector<FrameKey>> listings;
  for (;;) {
    std::optional<StoreReply> r = h.wait_reply();
    ASSERT_TRUE(r);
    if (auto* l = std::get_if<ListedReply>(&r->body)) listings.push_back(l->keys);
    if (std::holds_alternative<OpenedReply>(r->body)) break;
  }
  EXPECT_EQ(listings, (std::vector<std::vector<FrameKey>>{{}, {{3, 24}}})) << "nothing, then the stream opened";
}

TEST_F(StoreWorkerTest, PurgeRunsWithoutAnOpenStreamAndAfterTheGenerationMoved) {
  test::put_file(root_ / "Other" / "rgba-premul-v1-0000000000000001" / "v0_s24.vnf", {1});
  test::put_file(root_ / "Other" / "rgba-premul-v1-0000000000000001" / kStreamOwnerFile, {'O'});
  StoreHandle h = spawn_store_worker(root_);
  ASSERT_TRUE(h.send(PurgeJob{}));
  h.raise_generation();  // the purge job is now of an older generation
  // A job behind it that answers tells when the purge is done.
  ASSERT_TRUE(h.send(OpenStreamJob{snapshot_, "Main", 0, std::nullopt}));
  EXPECT_EQ(next<OpenedReply>(h).frames_sent, 0u);
  EXPECT_FALSE(std::filesystem::exists(root_ / "Other"));
}

TEST_F(StoreWorkerTest, WritesAndLoadsOfAnOlderGenerationAreSkipped) {
  StoreHandle h = spawn_store_worker(root_);
  ASSERT_TRUE(h.send(OpenStreamJob{snapshot_, "Main", 0, std::nullopt}));
  EXPECT_EQ(next<OpenedReply>(h).frames_sent, 0u);
  h.raise_generation();
  ASSERT_TRUE(h.send(WriteFrameJob{{1, 24}, pattern_frame(2, 2)}, 16));
  ASSERT_TRUE(h.send(LoadJob{{{1, 24}}}));
  ASSERT_TRUE(h.send(OpenStreamJob{snapshot_, "Main", 0, std::nullopt}));
  EXPECT_EQ(next<OpenedReply>(h).frames_sent, 0u) << "no saved or missing reply came first";
  EXPECT_FALSE(frame_file_exists(stream_, {1, 24}));
}

// A store root that can never be written (here a plain file where the
// folder should be) fails every write alike: one line, then a count.
TEST_F(StoreWorkerTest, APersistentWriteFailureIsLoggedOnceThenCounted) {
  test::put_file(root_, {'x'});
  test::ScratchLog log(scratch_.path());
  forget_repeated_failures();
  {
    StoreHandle h = spawn_store_worker(root_);
    ASSERT_TRUE(h.send(OpenStreamJob{snapshot_, "Main", 0, std::nullopt}));
    EXPECT_EQ(next<OpenedReply>(h).frames_sent, 0u);
    for (int32_t v = 0; v < 12; ++v) ASSERT_TRUE(h.send(WriteFrameJob{{v, 24}, pattern_frame(2, 2)}, 16));
    h.begin_finish();
    (void)h.wait_finished(std::chrono::steady_clock::now() + std::chrono::seconds(60));
  }
  log_all_repeats_ended();
  EXPECT_EQ(log.count("store: frame write failed"), 2u) << "the line, then its summary";
  EXPECT_EQ(log.count("store: frame write failed (repeated 11 more times, until quit)"), 1u);
}

// A plain file at the stream folder's name used to turn the composition's
// store off in every run; the store's open mends it.
TEST_F(StoreWorkerTest, AFileAtTheStreamFoldersNameIsReplacedByTheStream) {
  test::put_file(stream_, {'x'});
  StoreHandle h = spawn_store_worker(root_);
  ASSERT_TRUE(h.send(OpenStreamJob{snapshot_, "Main", 0, std::nullopt}));
  EXPECT_EQ(next<OpenedReply>(h).frames_sent, 0u);
  ASSERT_TRUE(h.send(WriteFrameJob{{0, 24}, pattern_frame(4, 4, 1)}, 64));
  EXPECT_EQ(next<SavedReply>(h).key, (FrameKey{0, 24}));
  EXPECT_TRUE(frame_file_exists(stream_, {0, 24}));
  EXPECT_EQ(stream_owner(stream_, "Main"), StreamOwner::Ours);
}

// A crash between a write and its rename leaves a temporary that no later
// write replaces, in the stream the next run uses: opening the stream takes
// it away, and leaves what a writer still running may finish.
TEST_F(StoreWorkerTest, OpeningAStreamRemovesTheTemporariesOfWritersThatAreGone) {
  ASSERT_TRUE(claim_stream_dir(stream_, "Main"));
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ASSERT_GT(gone, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(gone, &status, 0), gone);
  auto tmp = [](pid_t writer, int32_t frame) {
    return "." + frame_file_name({frame, 24}) + "." + std::to_string(writer) + "-0.tmp";
  };
  const std::vector<uint8_t> half(300, 7);
  test::put_file(stream_ / tmp(gone, 0), half);
  // The same pid in an earlier process: a fresh pid namespace gives it again.
  test::put_file(stream_ / tmp(::getpid(), 1), half);
  fs::last_write_time(stream_ / tmp(::getpid(), 1), fs::file_time_type::clock::now() - std::chrono::hours(1));
  // This process's own write, at a time after its store began.
  test::put_file(stream_ / tmp(::getpid(), 2), half);
  fs::last_write_time(stream_ / tmp(::getpid(), 2), fs::file_time_type::clock::now() + std::chrono::hours(1));
  StoreHandle h = spawn_store_worker(root_);
  ASSERT_TRUE(h.send(OpenStreamJob{snapshot_, "Main", 0, std::nullopt}));
  EXPECT_EQ(next<OpenedReply>(h).frames_sent, 0u);
  EXPECT_FALSE(fs::exists(stream_ / tmp(gone, 0)));
  EXPECT_FALSE(fs::exists(stream_ / tmp(::getpid(), 1)));
  EXPECT_TRUE(fs::exists(stream_ / tmp(::getpid(), 2)));
}

// At quit the writes already handed to the store reach the disk, even with
// loads before them whose replies nobody takes any more.
TEST_F(StoreWorkerTest, FinishingWritesWhatWasHandedOverAndSkipsTheRest) {
  StoreHandle h = spawn_store_worker(root_);
  ASSERT_TRUE(h.send(OpenStreamJob{snapshot_, "Main", 0, std::nullopt}));
  EXPECT_EQ(next<OpenedReply>(h).frames_sent, 0u);
  ASSERT_TRUE(h.send(WriteFrameJob{{0, 24}, pattern_frame(4, 4, 1)}, 64));
  ASSERT_EQ(next<SavedReply>(h).key, (FrameKey{0, 24}));
  // Three replies for a channel of two: the thread waits for room.
  ASSERT_TRUE(h.send(LoadJob{{{0, 24}, {0, 24}, {0, 24}}}));
  ASSERT_TRUE(h.send(LoadJob{{{0, 24}}}));
  for (int32_t v = 1; v <= 6; ++v) ASSERT_TRUE(h.send(WriteFrameJob{{v, 24}, pattern_frame(4, 4, 2)}, 64));
  h.begin_finish();
  EXPECT_FALSE(h.send(WriteFrameJob{{7, 24}, pattern_frame(4, 4, 3)}, 64)) << "nothing new once quitting";
  EXPECT_EQ(h.wait_finished(std::chrono::steady_clock::now() + std::chrono::seconds(60)), 6u);
  h.stop();
  for (int32_t v = 0; v <= 6; ++v) EXPECT_TRUE(frame_file_exists(stream_, {v, 24})) << v;
  EXPECT_FALSE(frame_file_exists(stream_, {7, 24}));
}

TEST(StoreEnqueue, StaleRepliesAreDroppedAndCountedBytesGiveBack) {
  StoreShared shared;
  shared.generation = 3;
  EXPECT_FALSE(store_enqueue(shared, StoreReply{2, MissingReply{{FrameKey{1, 24}}}}));
  EXPECT_TRUE(shared.replies.empty());
  LoadedFrame f{{1, 24}, PixelPayload::adopt(std::vector<uint8_t>(64)), 0.0, 4, 4};
  EXPECT_TRUE(store_enqueue(shared, StoreReply{3, FrameReply{f}}));
  EXPECT_EQ(shared.reply_bytes.load(), 64u);
  shared.closed = true;
  EXPECT_FALSE(store_enqueue(shared, StoreReply{3, FrameReply{f}})) << "the receiving side is gone";
  EXPECT_EQ(shared.reply_bytes.load(), 64u);
}

TEST(StoreHandleTest, AStoreWithoutThreadRefusesEverySend) {
  StoreHandle none;
  EXPECT_FALSE(none.live());
  EXPECT_FALSE(none.send(PurgeJob{}));
  EXPECT_EQ(none.bytes_in_flight(), 0u);
  EXPECT_FALSE(none.take_reply());
}

}  // namespace
}  // namespace vel
