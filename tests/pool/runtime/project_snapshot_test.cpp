#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

#include "pool/runtime/pool_directory.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "pool/runtime/project_snapshot.h"
#include "pool/runtime/snapshot_adoption.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

class SnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    project_ = dir_.path() / "project.aep";
    pool_ = dir_.path() / "velocinta_pool";
    write_project(std::string(3 * 8192 + 100, 'p'));
  }
  void write_project(const std::string& body) { std::ofstream(project_, std::ios::binary | std::ios::trunc) << body; }
  SnapshotRequest request(uint64_t generation = 0) {
    auto stamp = file_modified_time(project_);
    EXPECT_TRUE(stamp);
    return SnapshotRequest{project_, stamp.value_or(FileStamp{}), pool_, generation, {}};
  }
  // Everything in the pool folder: no partial file may stay behind.
  std::vector<std::string> pool_files() {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(pool_, ec)) out.push_back(e.path().filename().string());
    return out;
  }

  testing::ScratchDir dir_{"vel-snapshot"};
  fs::path project_, pool_;
};

TEST_F(SnapshotTest, ACopyIsPrivateAndNamedForThisProcess) {
  SnapshotReply reply = run_snapshot_copy(request(4));
  EXPECT_EQ(reply.generation, 4u);
  auto* ready = std::get_if<SnapshotReady>(&reply.result);
  ASSERT_TRUE(ready) << std::get<std::string>(reply.result);
  std::string name = ready->snapshot().filename().string();
  EXPECT_EQ(name.rfind("saved-" + std::to_string(::getpid()) + "-", 0), 0u) << name;
  EXPECT_EQ(ready->snapshot().extension(), ".aep");
  EXPECT_EQ(testing::read_text(ready->snapshot()), testing::read_text(project_));
  struct stat st{};
  ASSERT_EQ(::stat(ready->snapshot().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(pool_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(std::isfinite(ready->copy_ms()));
}

TEST_F(SnapshotTest, RacesWithTheProjectLeaveNoFile) {
  struct Case {
    const char* name;
    std::function<void(SnapshotRequest&)> arrange;
    std::string error;
  };
  const Case cases[] = {
      {"saved between the request and the thread's start",
       [this](SnapshotRequest&) { write_project(std::string(3 * 8192 + 7, 'q')); }, "project changed before copy"},
      {"saved during the copy",
       [this](SnapshotRequest& r) {
         r.between_pieces = [this](uint64_t copied) {
           if (copied == 8192) write_project(std::string(3 * 8192 + 100, 'r') + "more");
         };
       },
       "project changed during copy"},
      {"touched during the copy, same size",
       [this](SnapshotRequest& r) {
         r.between_pieces = [this](uint64_t copied) {
           if (copied != 8192) return;
           struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
           ::utimensat(AT_FDCWD, project_.c_str(), times, 0);
         };
       },
       "project changed during copy"},
  };
  for (const auto& c : cases) {
    write_project(std::string(3 * 8192 + 100, 'p'));
    SnapshotRequest req = request();
    c.arrange(req);
    SnapshotReply reply = run_snapshot_copy(req);
    auto* text = std::get_if<std::string>(&reply.result);
    ASSERT_TRUE(text) << c.name;
    EXPECT_EQ(*text, c.error) << c.name;
    EXPECT_TRUE(pool_files().empty()) << c.name;
  }
}

TEST_F(SnapshotTest, AMissingSourceLeavesNoFile) {
  SnapshotRequest req = request();
  fs::remove(project_);
  SnapshotReply reply = run_snapshot_copy(req);
  EXPECT_TRUE(std::holds_alternative<std::string>(reply.result));
  EXPECT_TRUE(pool_files().empty());
}

// Waits for the copy thread's reply, by the event and not by a time.
std::optional<std::variant<SnapshotReady, std::string>> wait_reply(SnapshotSlot& slot, uint64_t generation) {
  ChannelReceiver<SnapshotReply> rx = *slot.receiver;
  slot.receiver.reset();
  std::optional<SnapshotReply> reply = rx.recv();
  if (!reply) return std::variant<SnapshotReady, std::string>(std::string("snapshot worker disconnected"));
  if (reply->generation != generation) return std::nullopt;
  return std::move(reply->result);
}

TEST_F(SnapshotTest, PollingWithNothingPendingAnswersNone) {
  SnapshotSlot slot;
  EXPECT_FALSE(poll_snapshot_reply(slot, 0));
  EXPECT_FALSE(slot.pending());
}

TEST_F(SnapshotTest, OnlyOneCopyRunsAtATime) {
  SnapshotSlot slot;
  start_snapshot_copy(slot, request());
  ASSERT_TRUE(slot.pending());
  auto first = *slot.receiver;
  start_snapshot_copy(slot, request());  // pending: no second thread
  auto reply = first.recv();
  ASSERT_TRUE(reply);
  EXPECT_TRUE(std::holds_alternative<SnapshotReady>(reply->result));
  EXPECT_FALSE(first.recv());  // the single sender is gone: nothing else was started
  slot.receiver.reset();
  reply.reset();
  EXPECT_TRUE(pool_files().empty());
}

TEST_F(SnapshotTest, AStaleGenerationDeletesItsCopy) {
  SnapshotSlot slot;
  start_snapshot_copy(slot, request(1));
  // The copy answered for generation 1; the pool moved on to 2.
  auto reply = wait_reply(slot, 2);
  EXPECT_FALSE(reply);
  EXPECT_TRUE(pool_files().empty());
}

TEST_F(SnapshotTest, PollTakesTheAnswerOnce) {
  struct Case {
    uint64_t reply_generation, current;
    bool answered;
  } cases[] = {{3, 3, true}, {3, 4, false}};
  for (const auto& c : cases) {
    auto [tx, rx] = make_bounded_channel<SnapshotReply>(1);
    SnapshotSlot slot;
    slot.receiver = rx;
    EXPECT_FALSE(poll_snapshot_reply(slot, c.current));  // not answered yet
    EXPECT_TRUE(slot.pending());
    ASSERT_TRUE(tx.try_send(run_snapshot_copy(request(c.reply_generation))));
    auto got = poll_snapshot_reply(slot, c.current);
    EXPECT_EQ(got.has_value(), c.answered);
    EXPECT_FALSE(slot.pending());
    got.reset();
    EXPECT_TRUE(pool_files().empty());
  }
}

TEST_F(SnapshotTest, AThreadGoneWithoutAnswerIsReportedOnce) {
  auto [tx, rx] = make_bounded_channel<SnapshotReply>(1);
  SnapshotSlot slot;
  slot.receiver = rx;
  tx.reset();
  auto got = poll_snapshot_reply(slot, 0);
  ASSERT_TRUE(got);
  EXPECT_EQ(std::get<std::string>(*got), "snapshot worker disconnected");
  EXPECT_FALSE(poll_snapshot_reply(slot, 0));
}

TEST_F(SnapshotTest, AdoptionKeepsOneCopyAndOnlyFiniteTimes) {
  PoolRuntime rt = new_pool_runtime(kOutputPsd);
  rt.save_required = true;
  rt.launch_debounce_from = 5;
  auto first = std::get<SnapshotReady>(run_snapshot_copy(request()).result);
  fs::path first_path = first.snapshot();
  adopt_project_snapshot(rt, SnapshotReady(std::move(first)));
  EXPECT_FALSE(rt.save_required || rt.launch_debounce_from);
  EXPECT_EQ(rt.snapshot_path, first_path);
  double kept = rt.last_snapshot_copy_ms;

  fs::path second_path = pool_ / "saved-second.aep";
  std::ofstream(second_path) << "copy";
  adopt_project_snapshot(rt, SnapshotReady(second_path, project_, FileStamp{}, std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(fs::exists(first_path));
  EXPECT_TRUE(fs::exists(second_path));
  EXPECT_EQ(rt.last_snapshot_copy_ms, kept);
  stop_pool(rt, 0);
  EXPECT_TRUE(pool_files().empty());
}

TEST_F(SnapshotTest, FreshnessOfAFinishedCopy) {
  auto ready = std::get<SnapshotReady>(run_snapshot_copy(request()).result);
  auto now = file_modified_time(project_);
  OpenProject clean = std::make_pair(project_.string(), false);
  EXPECT_TRUE(snapshot_still_fresh(ready, clean, now, std::nullopt));
  EXPECT_FALSE(snapshot_still_fresh(ready, std::make_pair(project_.string(), true), now, std::nullopt));
  EXPECT_FALSE(snapshot_still_fresh(ready, std::make_pair((dir_.path() / "other.aep").string(), false), now, std::nullopt));
  EXPECT_FALSE(snapshot_still_fresh(ready, std::nullopt, now, std::nullopt));
  FileStamp moved = *now;
  moved.size += 1;
  EXPECT_FALSE(snapshot_still_fresh(ready, clean, moved, std::nullopt));
  FileStamp::Time later = now->modified;
  later.secs += 1;
  EXPECT_FALSE(snapshot_still_fresh(ready, clean, now, later));
  EXPECT_TRUE(snapshot_still_fresh(ready, clean, now, now->modified));
}

TEST(SnapshotRoadChoice, TheLeastRule) {
  FileStamp stamp{10, {100, 5}};
  OpenProject clean = std::make_pair(std::string("/p.aep"), false);
  OpenProject dirty = std::make_pair(std::string("/p.aep"), true);
  struct Case {
    const char* name;
    OpenProject project;
    std::optional<FileStamp> stamp;
    std::optional<FileStamp::Time> last_edit;
    bool optimize;
    SnapshotRoad road;
  } cases[] = {
      {"clean, optimize on", clean, stamp, FileStamp::Time{100, 5}, true, SnapshotRoad::BackgroundCopy},
      {"clean, no edit yet", clean, stamp, std::nullopt, true, SnapshotRoad::BackgroundCopy},
      {"clean, optimize off", clean, stamp, std::nullopt, false, SnapshotRoad::DirectCopy},
      {"clean, file older than the edit", clean, stamp, FileStamp::Time{100, 6}, true, SnapshotRoad::HostSave},
      {"clean, file unreadable", clean, std::nullopt, std::nullopt, false, SnapshotRoad::HostSave},
      {"unsaved changes", dirty, stamp, std::nullopt, true, SnapshotRoad::WaitForSave},
      {"no file", std::nullopt, std::nullopt, std::nullopt, true, SnapshotRoad::WaitForSave},
  };
  for (const auto& c : cases) EXPECT_EQ(choose_snapshot_road(c.project, c.stamp, c.last_edit, c.optimize), c.road) << c.name;
}

TEST_F(SnapshotTest, DirectCopyReplacesTheSnapshotOnlyWhenComplete) {
  ASSERT_TRUE(ensure_private_dir(pool_));
  fs::path target = pool_snapshot_path(pool_);
  ASSERT_TRUE(copy_project_file(project_, target));
  EXPECT_EQ(testing::read_text(target), testing::read_text(project_));
  std::string before = testing::read_text(target);
  EXPECT_FALSE(copy_project_file(dir_.path() / "missing.aep", target));
  EXPECT_EQ(testing::read_text(target), before);
  EXPECT_EQ(pool_files(), std::vector<std::string>{"snapshot.aep"});
}

TEST_F(SnapshotTest, AHostSaveIsAdoptedOnlyAsARegularFile) {
  ASSERT_TRUE(ensure_private_dir(pool_));
  fs::path target = pool_snapshot_path(pool_);
  fs::path written = fresh_partial_name(pool_, "hostsave-");
  EXPECT_FALSE(adopt_written_file(written, target));  // the host wrote nothing
  fs::create_directory(written);
  EXPECT_FALSE(adopt_written_file(written, target));
  EXPECT_TRUE(pool_files().empty());
  std::ofstream(written) << "saved";
  EXPECT_TRUE(adopt_written_file(written, target));
  EXPECT_EQ(pool_files(), std::vector<std::string>{"snapshot.aep"});
}

TEST_F(SnapshotTest, ThePoolFolderMustBeOurs) {
  fs::create_directory_symlink(dir_.path(), pool_);
  EXPECT_FALSE(ensure_private_dir(pool_));
}

// The pool folder moved away under a copy, a direct copy and a host save,
// and a link to the user's folder left at its path: every snapshot name is
// reached from the folder held, so the copies land there and go from there,
// and the user's "snapshot.aep" is neither replaced nor removed.
TEST_F(SnapshotTest, NoSnapshotNameIsReachedThroughALinkAtThePoolFoldersPath) {
  auto held = open_pool_folder(pool_);
  ASSERT_TRUE(held) << held.error();
  const fs::path user = dir_.path() / "Documents";
  fs::create_directories(user);
  std::ofstream(user / "snapshot.aep") << "mine";
  const fs::path moved = dir_.path() / "moved_pool";
  fs::rename(pool_, moved);
  fs::create_directory_symlink(user, pool_);

  SnapshotRequest req = request();
  req.pool = held.value();
  SnapshotReply reply = run_snapshot_copy(req);
  auto* ready = std::get_if<SnapshotReady>(&reply.result);
  ASSERT_TRUE(ready) << std::get<std::string>(reply.result);
  EXPECT_TRUE(fs::exists(moved / ready->snapshot().filename()));
  reply.result = std::string("dropped");  // the copy goes where it was made
  EXPECT_TRUE(fs::is_empty(moved));

  const int pool = held.value()->get();
  ASSERT_TRUE(copy_project_file(project_, pool_snapshot_path(pool_), pool));
  EXPECT_EQ(testing::read_text(moved / "snapshot.aep"), testing::read_text(project_));
  std::ofstream(moved / "hostsave-1-2-3.aep") << "saved";
  ASSERT_TRUE(adopt_written_file(pool_ / "hostsave-1-2-3.aep", pool_snapshot_path(pool_), pool));
  EXPECT_EQ(testing::read_text(moved / "snapshot.aep"), "saved");
  SnapshotReady adopted(pool_snapshot_path(pool_), project_, FileStamp{}, 1.0, held.value());
  adopted = SnapshotReady(pool_ / "other.aep", project_, FileStamp{}, 1.0, held.value());
  EXPECT_FALSE(fs::exists(moved / "snapshot.aep"));
  EXPECT_EQ(testing::read_text(user / "snapshot.aep"), "mine");
  EXPECT_EQ(std::distance(fs::directory_iterator(user), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace vel
