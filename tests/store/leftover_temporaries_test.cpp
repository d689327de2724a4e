#include "store/leftover_temporaries.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <set>
#include <thread>
#include <string>

#include "store/store_names.h"
#include "store/store_test_support.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

constexpr pid_t kGone = 4242;
constexpr pid_t kLive = 4343;

std::string tmp_of(const std::string& file, pid_t writer, const std::string& serial = "1") {
  return "." + file + "." + std::to_string(writer) + "-" + serial + ".tmp";
}

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
  return out;
}

class LeftoverTemporaries : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.ok()); }
  size_t sweep(const fs::path& stream) {
    return remove_leftover_temporaries(stream, [](pid_t writer, timespec) { return writer != kGone; });
  }
  testing::ScratchDir scratch_{"vel-leftover"};
  fs::path root_ = scratch_.path() / "framestore-fast-v1";
  fs::path stream_ = root_ / "Main" / stream_dir_name(1);
};

// What a dead writer's write left goes; a live writer's temporary, whatever
// is not a regular file, and every name only like a temporary's stay.
TEST_F(LeftoverTemporaries, OnlyTheStoresOwnOrphansGo) {
  struct Row {
    std::string name;
    enum { File, Link, Fifo, Folder } kind;
    bool removed;
  };
  const Row rows[] = {
      {tmp_of("v5_s24.vnf", kGone), Row::File, true},
      {tmp_of("v-48_s24.vnf", kGone, "0"), Row::File, true},
      {tmp_of(".last_used", kGone), Row::File, true},
      {tmp_of(".composition", kGone), Row::File, true},
      {tmp_of("v5_s24.vnf", kLive), Row::File, false},
      {tmp_of("v6_s24.vnf", kGone), Row::Link, false},
      {tmp_of("v7_s24.vnf", kGone), Row::Fifo, false},
      {tmp_of("v8_s24.vnf", kGone), Row::Folder, false},
      {tmp_of("v+9_s24.vnf", kGone), Row::File, false},
      {tmp_of("v9_s24.vnf", kGone, "01"), Row::File, false},
      {tmp_of("notes.txt", kGone), Row::File, false},
      {".v9_s24.vnf.tmp", Row::File, false},
      {"v9_s24.vnf", Row::File, false},
  };
  const fs::path outside = scratch_.path() / "outside.txt";
  test::put_file(outside, {'k', 'e', 'e', 'p'});
  fs::create_directories(stream_);
  for (const Row& r : rows) {
    const fs::path p = stream_ / r.name;
    switch (r.kind) {
      case Row::File: test::put_file(p, {'x'}); break;
      case Row::Link: fs::create_symlink(outside, p); break;
      case Row::Fifo: ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); break;
      case Row::Folder: fs::create_directories(p / "inside"); break;
    }
  }
  EXPECT_EQ(sweep(stream_), 4u);
  const std::set<std::string> left = names_in(stream_);
  for (const Row& r : rows) EXPECT_EQ(left.count(r.name) == 0, r.removed) << r.name;
  EXPECT_EQ(testing::read_text(outside), "keep");
  EXPECT_TRUE(fs::exists(stream_ / tmp_of("v8_s24.vnf", kGone) / "inside"));
}

// Inside the store root no link is followed: a key folder that is a link
// into a user's folder is not swept through.
TEST_F(LeftoverTemporaries, ALinkedKeyFolderIsNotEntered) {
  const fs::path users = scratch_.path() / "users" / stream_dir_name(1);
  test::put_file(users / tmp_of("v5_s24.vnf", kGone), {'x'});
  fs::create_directories(root_);
  fs::create_directory_symlink(scratch_.path() / "users", root_ / "Main");
  EXPECT_EQ(sweep(stream_), 0u);
  EXPECT_TRUE(fs::exists(users / tmp_of("v5_s24.vnf", kGone)));
}

// A child that waits until told to go, as another host of this user would
// while it writes.
class Child {
 public:
  Child() {
    if (::pipe(fds_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds_[1]);
      char c;
      (void)!::read(fds_[0], &c, 1);
      ::_exit(0);
    }
    ::close(fds_[0]);
  }
  ~Child() { end(); }
  // Ends the child and reaps it: its pid names no process any more.
  void end() {
    if (pid_ <= 0) return;
    ::close(fds_[1]);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    ended_ = pid_;
    pid_ = -1;
  }
  pid_t pid() const { return pid_ > 0 ? pid_ : ended_; }

 private:
  int fds_[2] = {-1, -1};
  pid_t pid_ = -1;
  pid_t ended_ = -1;
};

TEST(TemporaryWriterLive, ProcessesOfThisUserAndThisOnesRecentWrites) {
  const timespec since{1'000'000, 0};
  const timespec before{999'999, 999'999'999};
  const timespec after{1'000'000, 0};
  Child running;
  ASSERT_GT(running.pid(), 0);
  Child ended;
  ended.end();
  // A thread of this process, not its leader: kill() and /proc answer for
  // its id too, yet no writer's pid is ever one.
  std::promise<pid_t> tid;
  std::promise<void> release;
  std::thread thread([&] {
    tid.set_value(static_cast<pid_t>(::gettid()));
    release.get_future().wait();
  });
  const pid_t thread_id = tid.get_future().get();
  struct Row {
    const char* what;
    pid_t writer;
    timespec written;
    bool live;
  } rows[] = {
      {"another process of this user, running", running.pid(), before, true},
      {"a process that ended", ended.pid(), after, false},
      {"this process, since its store began", ::getpid(), after, true},
      {"this pid, before this process's store began", ::getpid(), before, false},
      {"no pid", 0, after, false},
      {"a process group's number", -1, after, false},
      {"a live thread's id, not its process's", thread_id, after, false},
  };
  for (const Row& r : rows) EXPECT_EQ(temporary_writer_live(r.writer, r.written, since), r.live) << r.what;
  release.set_value();
  thread.join();
}

}  // namespace
}  // namespace vel
