// The record of a host's workers: what is written reads back the same, what
// a crash, another program or a hostile user may have left is refused whole,
// and the live book lists the children not yet reaped, with the start time
// the kernel gave each one.
#include "pool/process/worker_record.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "pool/process/spawned_registry.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

TEST(WorkerRecord, WhatIsWrittenReadsBackTheSame) {
  const std::vector<WorkerRecord> records = {
      {{1234, 5, 0}, {}},
      {{2, 0, 0}, {{3, 18446744073709551615ull, 3}}},
      {{77, 900, 0}, {{100, 901, 100}, {2147483647, 902, 2147483647}}},
  };
  for (const WorkerRecord& r : records) {
    const std::string text = format_worker_record(r);
    auto back = parse_worker_record(text);
    ASSERT_TRUE(back) << text << back.error();
    EXPECT_EQ(back.value(), r) << text;
  }
}

TEST(WorkerRecord, AnythingButTheExactFormIsRefused) {
  const std::string head = "velocinta-workers 1\nhost 50 7\n";
  std::string many = head;
  for (int i = 0; i <= static_cast<int>(kMaxRecordedWorkers); ++i)
    many += "worker " + std::to_string(100 + i) + " 1 " + std::to_string(100 + i) + "\n";
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"another header", "velocinta-workers 2\nhost 50 7\n"},
      {"no host", "velocinta-workers 1\n"},
      {"cut short", "velocinta-workers 1\nhost 50 7"},
      {"host pid 1", "velocinta-workers 1\nhost 1 7\n"},
      {"worker pid 0", head + "worker 0 9 0\n"},
      {"worker pid 1 (init)", head + "worker 1 9 1\n"},
      {"negative pid", head + "worker -5 9 -5\n"},
      {"signed pid", head + "worker +5 9 5\n"},
      {"leading zero", head + "worker 060 9 60\n"},
      {"pid beyond pid_t", head + "worker 2147483648 9 2147483648\n"},
      {"start time overflows", head + "worker 60 18446744073709551616 60\n"},
      {"start time not a number", head + "worker 60 9x 60\n"},
      {"a group not its own", head + "worker 60 9 61\n"},
      {"the group of everything", head + "worker 60 9 0\n"},
      {"the host as a worker", head + "worker 50 9 50\n"},
      {"a worker twice", head + "worker 60 9 60\nworker 60 9 60\n"},
      {"a missing field", head + "worker 60 9\n"},
      {"an extra field", head + "worker 60 9 60 1\n"},
      {"two blanks", head + "worker 60  9 60\n"},
      {"a trailing blank", head + "worker 60 9 60 \n"},
      {"a carriage return", head + "worker 60 9 60\r\n"},
      {"a NUL byte", head + std::string("worker 60 9 60\0\n", 16)},
      {"an empty line", head + "\n"},
      {"an unknown line", head + "engine 60 9 60\n"},
      {"too many workers", many},
      {"too large", head + std::string(kMaxWorkerRecordBytes, 'x') + "\n"},
  };
  for (const auto& [name, text] : cases) {
    EXPECT_FALSE(parse_worker_record(text)) << name;
  }
}

class WorkerRecordFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.ok()); }
  fs::path path() const { return scratch_.path() / kWorkerRecordName; }
  void write(const std::string& text, mode_t mode = 0600) {
    std::ofstream(path(), std::ios::binary) << text;
    ::chmod(path().c_str(), mode);
  }
  testing::ScratchDir scratch_{"vel-record"};
};

TEST_F(WorkerRecordFile, OnlyAPlainPrivateFileIsRead) {
  const std::string good = "velocinta-workers 1\nhost 50 7\nworker 60 9 60\n";
  auto none = read_worker_record(path());
  ASSERT_TRUE(none) << none.error();
  EXPECT_FALSE(none.value());

  write(good);
  auto read = read_worker_record(path());
  ASSERT_TRUE(read) << read.error();
  ASSERT_TRUE(read.value());
  EXPECT_EQ(read.value()->workers.size(), 1u);

  write(good, 0620);
  EXPECT_FALSE(read_worker_record(path())) << "writable by the group";
  write(good, 0602);
  EXPECT_FALSE(read_worker_record(path())) << "writable by anyone";

  fs::remove(path());
  const fs::path target = scratch_.path() / "elsewhere";
  std::ofstream(target) << good;
  ::chmod(target.c_str(), 0600);
  fs::create_symlink(target, path());
  EXPECT_FALSE(read_worker_record(path())) << "a symbolic link";

  fs::remove(path());
  fs::create_directory(path());
  EXPECT_FALSE(read_worker_record(path())) << "a folder";

  fs::remove(path());
  ASSERT_EQ(::mkfifo(path().c_str(), 0600), 0);
  EXPECT_FALSE(read_worker_record(path())) << "a pipe is never waited on";

  fs::remove(path());
  write(good + std::string(kMaxWorkerRecordBytes, '#'));
  EXPECT_FALSE(read_worker_record(path())) << "too large";
}

// A child of the test in a group of its own, as the pool starts workers;
// killed and reaped by pid.
struct GroupChild {
  pid_t pid = -1;
  GroupChild() {
    pid = ::fork();
    if (pid == 0) {
      ::setpgid(0, 0);
      for (;;) ::pause();
    }
    if (pid > 0) ::setpgid(pid, pid);  // either side may run first
  }
  ~GroupChild() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
};

TEST_F(WorkerRecordFile, TheBookListsEachUnreapedChildWithItsStartTime) {
  WorkerRecordBook book;
  GroupChild first, second;
  ASSERT_GT(first.pid, 0);
  ASSERT_GT(second.pid, 0);
  auto a = std::make_shared<SpawnedChild>(first.pid, -1);
  auto b = std::make_shared<SpawnedChild>(second.pid, -1);
  ASSERT_TRUE(book.add(a));
  EXPECT_FALSE(fs::exists(path())) << "an unarmed book writes nothing";

  const auto self = recorded_process(::getpid());
  ASSERT_TRUE(self);
  book.arm(path(), *self);
  ASSERT_TRUE(book.add(a));
  ASSERT_TRUE(book.add(b));
  auto read = read_worker_record(path());
  ASSERT_TRUE(read) << read.error();
  ASSERT_TRUE(read.value());
  EXPECT_EQ(read.value()->host.pid, self->pid);
  EXPECT_EQ(read.value()->host.start_ticks, self->start_ticks);
  ASSERT_EQ(read.value()->workers.size(), 2u);
  const auto first_now = recorded_process(first.pid);
  ASSERT_TRUE(first_now);
  EXPECT_EQ(read.value()->workers[0], (RecordedProcess{first.pid, first_now->start_ticks, first.pid}));
  EXPECT_EQ(read.value()->workers[1].pid, second.pid);
  struct stat st{};
  ASSERT_EQ(::stat(path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  a->mark_reaped(0);
  ASSERT_TRUE(book.write());
  read = read_worker_record(path());
  ASSERT_TRUE(read && read.value());
  ASSERT_EQ(read.value()->workers.size(), 1u);
  EXPECT_EQ(read.value()->workers[0].pid, second.pid);
  // Nothing but the record itself in the folder: no temporary left.
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(scratch_.path())) ++entries;
  EXPECT_EQ(entries, 1u);
}

}  // namespace
}  // namespace vel
